// The output formats: each is a Writer made by one function, with the options it takes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
    // On every link and autolink of the document (not on the footnotes' own links): rel's keywords
    // ("nofollow ugc"), to which "noopener" is added when target is "_blank", and target. Characters
    // other than ASCII letters, digits, '-', '_', '.' and ':' (and spaces between rel's keywords) are dropped.
    std::string link_rel;
    std::string link_target;
    // Called for each code block with its content and the first word of its language: appends the block's
    // HTML to `out` and returns true, or returns false to leave the block to the writer. What it appends is
    // written as it is (trusted). It may throw to end the write.
    std::function<bool(std::string_view code, std::string_view lang, std::string& out)> code_block;

    bool standalone = false;  // a whole page: doctype, head with charset, title and stylesheet, body
    // The page's, with standalone only. The <html lang>: this when it is a language tag (is_language_tag),
    // else the metadata's "lang" when that is one.
    std::string lang;
    // The title, else the metadata's "title", else the first heading's text.
    std::optional<std::string> title;
    // Stylesheets linked, and CSS written in a <style> element (it must not hold "</style"); either one
    // replaces the built-in stylesheet.
    std::vector<std::string> stylesheets;
    std::optional<std::string> style;
    // Scripts loaded (deferred, in this order) to render the math and highlight the code; with either, a
    // starter runs KaTeX's auto-render and highlight.js once the page is read, when they are loaded.
    std::vector<std::string> math_scripts;
    std::vector<std::string> highlight_scripts;
    std::string head_html;  // written as it is at the end of the head (trusted)
};
std::unique_ptr<Writer> make_html_writer(const HtmlOptions& options);
// Whether the HTML writer shows a link (or, with `image`, a figure's image) whose URL is `url` with these
// allowed schemes: false for the URLs it refuses and writes as plain text (or leaves out).
bool url_allowed(std::string_view url, const std::vector<std::string>& schemes, bool image);
// Whether `tag` is a well-formed language tag (BCP 47: "en", "pt-BR", "zh-Hant-TW", "x-private").
bool is_language_tag(std::string_view tag);

}  // namespace quillet::writers
