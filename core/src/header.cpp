// The header's line readers, shared by the parse (driver.cpp) and read_header.
#include "header.hpp"

#include <iterator>

#include "quillet/model.hpp"

namespace quillet {

namespace {

std::optional<Profile> profile_named(std::string_view name) {
    for (size_t i = 0; i < std::size(kProfileNames); ++i) {
        if (kProfileNames[i] == name) return Profile(i);
    }
    return std::nullopt;
}

std::optional<ModuleKind> module_named(std::string_view name) {
    for (size_t i = 0; i < std::size(kModuleNames); ++i) {
        if (kModuleNames[i] == name) return ModuleKind(i);
    }
    return std::nullopt;
}

// The span of `part`, a view into the line's text.
Span span_in(const Line& line, std::string_view part) {
    const auto start = static_cast<uint32_t>(line.start + size_t(part.data() - line.text.data()));
    return {start, static_cast<uint32_t>(start + part.size())};
}

}  // namespace

// "@profile NAME": a prefix test, then the trimmed rest compared byte for byte.
std::optional<ProfileLine> read_profile_line(const Line& line) {
    std::string_view t = trim(line.text);
    if (!starts_with(t, kProfilePrefix)) return std::nullopt;
    const std::string_view name = trim(t.substr(kProfilePrefix.size()));
    return ProfileLine{{line.start, line.end}, name, span_in(line, name), profile_named(name)};
}

// "@modules a, b, c": unknown and empty names are skipped by the parse, duplicates kept.
std::optional<ModulesLine> read_modules_line(const Line& line) {
    std::string_view t = trim(line.text);
    if (!starts_with(t, kModulesPrefix)) return std::nullopt;
    std::string_view rest = t.substr(kModulesPrefix.size());
    ModulesLine out{{line.start, line.end}, span_in(line, rest), {}};
    for (;;) {
        size_t comma = rest.find(',');
        const std::string_view name = trim(rest.substr(0, comma));
        if (!name.empty()) out.names.push_back(ModuleName{name, span_in(line, name), module_named(name)});
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return out;
}

bool opens_metadata(const Line& line) {
    std::string_view t = trim(line.text);
    return starts_with(t, kRule) && t.find("meta") != std::string_view::npos;
}

Header read_header_lines(LineCursor& cursor) {
    Header header;
    // Only the first non-blank line can name the profile.
    if (const auto& line = cursor.skip_blank_lines()) {
        header.profile = read_profile_line(*line);
        if (header.profile && header.profile->profile) {
            cursor.next_line();
            cursor.skip_blank_lines();
        }
    }
    // The modules line comes first, or right after the profile line.
    if (const auto& line = cursor.peek_line()) {
        header.modules = read_modules_line(*line);
        if (header.modules) {
            cursor.next_line();
            cursor.skip_blank_lines();
        }
    }
    return header;
}

Header read_header(std::string_view input) {
    LineCursor cursor(input);
    Header header = read_header_lines(cursor);
    if (const auto& line = cursor.peek_line(); line && opens_metadata(*line)) {
        header.metadata = read_metadata_lines(cursor, [](const Line&) {});
    }
    return header;
}

}  // namespace quillet
