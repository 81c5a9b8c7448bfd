// The output formats: each is a Writer made by one function, with the options it takes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// HTML that is safe to put in a page by default: every text escaped, URLs checked against an allowlist of
// schemes, HTML blocks escaped unless raw_html says otherwise.
enum class RawHtml : uint8_t {
    Escape,  // HTML and raw blocks shown as text
    Omit,    // HTML and raw blocks left out
    Allow,   // HTML blocks written as they are (unsafe for untrusted input); raw blocks still escaped
};
struct HtmlOptions {
    RawHtml raw_html = RawHtml::Escape;
    // The schemes a link or image URL may have, in lower case; a URL without a scheme always passes.
    std::vector<std::string> allowed_schemes = {"http", "https", "mailto"};
    bool heading_ids = false;
    // Put in front of every id written; characters other than ASCII letters, digits, '-' and '_' are dropped.
    std::string id_prefix;
    bool standalone = false;  // a whole page: doctype, head with charset, title and stylesheet, body
};
std::unique_ptr<Writer> make_html_writer(const HtmlOptions& options);

}  // namespace quillet::writers
