// The directives the parser knows ("::name" opener lines) and what each reads from its opener line. The
// dispatch of parse_directive follows this table, and quillet._native hands it to the Python tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quillet {

enum class Directive : uint8_t { List, Math, Html, Quote, Table, Figure, Callout, Footnotes };

struct DirectiveInfo {
    std::string_view name;                    // as written after "::"
    std::span<const std::string_view> keys;   // the attribute keys it reads (key=value)
    std::span<const std::string_view> words;  // the bare words it reads
};

inline constexpr std::string_view kListKeys[] = {"start"};
inline constexpr std::string_view kListWords[] = {"ordered", "unordered"};
inline constexpr std::string_view kFigureKeys[] = {"src", "alt", "caption"};
inline constexpr std::string_view kCalloutKeys[] = {"type", "title"};

inline constexpr DirectiveInfo kDirectives[] = {
    {"list", kListKeys, kListWords},
    {"math", {}, {}},
    {"html", {}, {}},
    {"quote", {}, {}},
    {"table", {}, {}},
    {"figure", kFigureKeys, {}},
    {"callout", kCalloutKeys, {}},
    {"footnotes", {}, {}},
};
static_assert(std::size(kDirectives) == size_t(Directive::Footnotes) + 1);

inline std::optional<Directive> directive_named(std::string_view name) {
    for (size_t i = 0; i < std::size(kDirectives); ++i) {
        if (kDirectives[i].name == name) return Directive(i);
    }
    return std::nullopt;
}

}  // namespace quillet
