// The output formats: each is a Writer made by one function, with the options it takes.
#pragma once

#include <memory>
#include <string>

#include "writer.hpp"

namespace quillet::writers {

// JSON in the schema of quillet.to_json, byte for byte what Python's json.dumps writes for the same data
// with the same options.
struct JsonOptions {
    bool indent = false;      // json.dumps(indent=...) was given (not None)
    std::string indent_text;  // the text of one level of indentation
    std::string item_separator = ", ";
    std::string key_separator = ": ";
    bool sort_keys = false;
    bool ensure_ascii = true;
};
std::unique_ptr<Writer> make_json_writer(const JsonOptions& options);

// Plain text: the words a reader sees, none of the markup.
struct TextOptions {
    bool link_urls = false;  // write " (URL)" after a link's label
};
std::unique_ptr<Writer> make_text_writer(const TextOptions& options);

// CommonMark with the table, strikethrough, footnote and alert extensions.
struct MarkdownOptions {};
std::unique_ptr<Writer> make_markdown_writer(const MarkdownOptions& options);

}  // namespace quillet::writers
