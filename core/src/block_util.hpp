// Helpers shared by the block constructs: offsets, opener arguments and attribute lists.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "quillet/document.hpp"
#include "text.hpp"

namespace quillet {

// Absolute offset of a view into `input`.
inline uint32_t offset_in(std::string_view input, std::string_view part) {
    return static_cast<uint32_t>(part.data() - input.data());
}

// The argument text of an opener line: what follows `prefix` ("::" and the directive name), trimmed. An
// opener written with white space between "::" and the name does not begin with the prefix and has none.
inline std::string_view directive_arguments(std::string_view opener_text, std::string_view prefix) {
    const std::string_view t = trim(opener_text);
    return starts_with(t, prefix) ? trim(t.substr(prefix.size())) : std::string_view{};
}

// Where a read of an attribute list stopped: at its end, at a stretch without "=" (`rest`, from its first
// character to the end), or at a quoted value never closed (`key`, and `rest` from the quote to the end).
struct AttributeListEnd {
    enum class Stop : uint8_t { End, NoPair, UnclosedQuote };
    Stop stop = Stop::End;
    std::string_view key;
    std::string_view rest;
};

// Reads key=value pairs from `args`, calling store(key, value) for each in order. A value is either quoted
// (up to the next double quote, no escapes) or runs to the next space; a tab does not end it. Reading stops
// at the first stretch without "=" and at a quote that is never closed. Every view points into `args`.
template <class Store>
AttributeListEnd read_attribute_list(std::string_view args, Store store) {
    args = trim_start(args);
    while (!args.empty()) {
        const size_t eq = args.find('=');
        if (eq == std::string_view::npos) return {AttributeListEnd::Stop::NoPair, {}, args};
        const std::string_view key = trim(args.substr(0, eq));
        const std::string_view v = trim_start(args.substr(eq + 1));
        std::string_view value;
        if (!v.empty() && v.front() == '"') {
            const size_t close = v.find('"', 1);
            if (close == std::string_view::npos) return {AttributeListEnd::Stop::UnclosedQuote, key, v};
            value = v.substr(1, close - 1);
            args = trim_start(v.substr(close + 1));
        } else {
            const size_t space = v.find(' ');
            value = v.substr(0, space);
            args = space == std::string_view::npos ? std::string_view{} : trim_start(v.substr(space));
        }
        store(key, value);
    }
    return {};
}

}  // namespace quillet
