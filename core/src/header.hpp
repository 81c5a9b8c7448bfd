// The document header: the profile line, the modules line and the metadata block. The parse reads it with
// these readers, and read_header reports the same reading, with byte spans, to the tools that check or edit a
// header.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "block_parser.hpp"
#include "markers.hpp"
#include "quillet/document.hpp"
#include "text.hpp"

namespace quillet {

// A line whose trimmed text begins with "@profile": the name is the trimmed rest, `profile` none when it
// names no profile (the line is then an ordinary paragraph and the header ends before it).
struct ProfileLine {
    Span span;  // the line, without its line end
    std::string_view name;
    Span name_span;
    std::optional<Profile> profile;
};

// One non-empty name of the modules line, trimmed; `kind` none when it names no module (the parse skips it).
struct ModuleName {
    std::string_view name;
    Span span;
    std::optional<ModuleKind> kind;
};

// A line whose trimmed text begins with "@modules": `list` is what follows that prefix, the names are its
// comma-separated pieces in order (duplicates kept).
struct ModulesLine {
    Span span;
    Span list;
    std::vector<ModuleName> names;
};

// The metadata block from its opening line to the line "---" that closes it, or to the last line of the
// input when none does.
struct MetadataLines {
    Span span;
    bool closed = false;
};

struct Header {
    std::optional<ProfileLine> profile;
    std::optional<ModulesLine> modules;
    std::optional<MetadataLines> metadata;
};

std::optional<ProfileLine> read_profile_line(const Line& line);
std::optional<ModulesLine> read_modules_line(const Line& line);

// A metadata block opens with a line that begins with "---" and holds "meta" ("--- meta ---").
bool opens_metadata(const Line& line);

// Reads the profile and modules lines at the start of the input, as a parse does: only the first non-blank
// line can be the profile line, and it is passed (with the blank lines after it) only when it names a
// profile; the modules line is the next one. The cursor is left at the line after them, peeked. The
// metadata is not read.
Header read_header_lines(LineCursor& cursor);

// Reads the metadata block whose opening line the cursor has peeked, up to and including the closing line
// "---" or to the end of the input; `entry` is called with every line between (the parse keeps those with
// a ":").
template <class OnLine>
MetadataLines read_metadata_lines(LineCursor& cursor, OnLine&& entry) {
    const Line opener = *cursor.next_line();
    MetadataLines meta{{opener.start, opener.end}};
    while (std::optional<Line> line = cursor.next_line()) {
        meta.span.end = line->end;
        if (trim(line->text) == kRule) {
            meta.closed = true;
            break;
        }
        entry(*line);
    }
    return meta;
}

// The whole header of `input`: what read_header_lines reads, then the metadata block if one opens there.
Header read_header(std::string_view input);

}  // namespace quillet
