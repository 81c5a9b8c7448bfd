// HTML, safe to put in a page by default. Documents are often written by programs nobody vetted, so every
// text is treated as hostile: it is escaped wherever it goes (element text and quoted attribute values alike),
// URLs are checked against an allowlist of schemes after the clean-up a browser applies before it reads one,
// HTML blocks are escaped unless the caller allows them, and ids are built from a small character set with a
// fixed part that no script global can have.
//
// The writer works block by block as a parse hands them over. It keeps across blocks only what it must: the
// ids handed out so far, the footnote definitions (written together at the end) and, for a whole page whose
// title comes from its first heading, what precedes that heading.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "formats.hpp"
#include "text_util.hpp"

namespace quillet::writers {
namespace {

// A heading's text can be as long as its input; an id longer than this tells a reader nothing more.
constexpr size_t kMaxSlugSize = 64;

// The image formats a figure may carry inline as a data: URL. SVG is left out: it is a document that can
// hold scripts and links of its own.
constexpr std::string_view kImageDataTypes[] = {"image/png", "image/gif", "image/jpeg", "image/webp"};

// The page a standalone document gets around its body.
constexpr std::string_view kStylesheet =
    "body{max-width:46em;margin:2em auto;padding:0 1em;font:16px/1.6 system-ui,sans-serif;color:#222}"
    "pre{background:#f5f5f5;padding:.75em;overflow:auto}"
    "code{font-family:ui-monospace,monospace;font-size:.9em}"
    "table{border-collapse:collapse}th,td{border:1px solid #ccc;padding:.3em .6em}"
    "blockquote{margin-left:0;padding-left:1em;border-left:3px solid #ccc;color:#555}"
    ".callout{margin:1em 0;padding:.5em 1em;border-left:4px solid #4a7bd0;background:#f3f6fc}"
    ".callout-warning,.callout-caution,.callout-danger{border-color:#c9542c;background:#fcf3ef}"
    ".callout-title{font-weight:bold}"
    "img{max-width:100%}"
    ".footnotes{margin-top:2em;border-top:1px solid #ccc;font-size:.9em}.footnotes ul{list-style:none;padding:0}";

// The bytes escaped in text and attribute values; NUL, which an HTML parser drops or replaces, becomes
// U+FFFD here so that the text a browser reads back is the text written.
constexpr std::array<bool, 256> kEscaped = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : std::string_view("&<>\"'", 5)) table[c] = true;
    table[0] = true;
    return table;
}();

void escape(std::string& out, std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* run = p;
        while (p < end && !kEscaped[static_cast<unsigned char>(*p)]) ++p;
        out.append(run, static_cast<size_t>(p - run));
        if (p == end) break;
        switch (*p) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += "\xEF\xBF\xBD";  // U+FFFD for NUL
                break;
        }
        ++p;
    }
}

bool is_alpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_alnum(char c) {
    return is_alpha(c) || (c >= '0' && c <= '9');
}
char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
bool equals_lower(std::string_view text, std::string_view lower_case) {
    if (text.size() != lower_case.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (lower(text[i]) != lower_case[i]) return false;
    }
    return true;
}

// Appends `text` as a slug: ASCII letters (lower-cased) and digits, every run of other bytes one '-', none at
// either end, at most kMaxSlugSize bytes. Appends nothing when the text has no letter or digit.
void append_slug(std::string& out, std::string_view text) {
    const size_t start = out.size();
    bool gap = false;
    for (char c : text) {
        if (!is_alnum(c)) {
            gap = out.size() > start;
            continue;
        }
        if (out.size() - start + (gap ? 2 : 1) > kMaxSlugSize) break;
        if (gap) out += '-';
        gap = false;
        out += lower(c);
    }
}

bool allows(const std::vector<std::string>& schemes, std::string_view scheme) {
    return std::find(schemes.begin(), schemes.end(), scheme) != schemes.end();
}

// `url` as a browser reads it (C0 controls and spaces cut at both ends, tabs and line breaks removed), in
// `out`; false when its scheme is not allowed. A URL without a scheme (relative, "#x", "/x") passes, except
// a network-path reference: two slashes, either of which may be a backslash (a browser reads '\' as '/'),
// name a host of their own and take the page's scheme, which may be http or https, so it passes only when
// both are allowed.
bool clean_url(std::string_view url, const std::vector<std::string>& schemes, bool image, std::string& out) {
    size_t begin = 0, end = url.size();
    while (begin < end && static_cast<unsigned char>(url[begin]) <= 0x20) ++begin;
    while (end > begin && static_cast<unsigned char>(url[end - 1]) <= 0x20) --end;
    out.clear();
    for (size_t i = begin; i < end; ++i) {
        if (url[i] != '\t' && url[i] != '\n' && url[i] != '\r') out += url[i];
    }
    const auto is_slash = [](char c) { return c == '/' || c == '\\'; };
    if (out.size() >= 2 && is_slash(out[0]) && is_slash(out[1])) {
        return allows(schemes, "http") && allows(schemes, "https");
    }
    // A scheme is a letter, then letters, digits, '+', '-' or '.', then ':'; anything else is a relative URL.
    if (out.empty() || !is_alpha(out[0])) return true;
    size_t colon = 1;
    while (colon < out.size() && (is_alnum(out[colon]) || out[colon] == '+' || out[colon] == '-' || out[colon] == '.'))
        ++colon;
    if (colon == out.size() || out[colon] != ':') return true;
    const std::string_view scheme(out.data(), colon);
    for (const std::string& allowed : schemes) {
        if (equals_lower(scheme, allowed)) return true;
    }
    if (image && equals_lower(scheme, "data")) {
        const std::string_view rest = std::string_view(out).substr(colon + 1);
        const std::string_view type = rest.substr(0, std::min(rest.find(';'), rest.find(',')));
        for (std::string_view allowed : kImageDataTypes) {
            if (equals_lower(type, allowed)) return true;
        }
    }
    return false;
}

// The text a reader sees in a run of inline nodes (a heading's, for its id and the page title); footnote
// references are left out.
std::string inline_text(NodeRef node) {
    std::string text;
    Walker walk(node);
    while (walk.next()) {
        if (walk.event() != Event::Enter) continue;
        const NodeRef n = walk.node();
        switch (n.type) {
            case NodeType::Text:
            case NodeType::CodeSpan:
            case NodeType::AutoLink:
                text += n.as<Inline>().text;
                break;
            case NodeType::HardBreak:
            case NodeType::SoftBreak:
                text += ' ';
                break;
            default:
                break;
        }
    }
    return text;
}

class HtmlWriter : public Writer {
public:
    explicit HtmlWriter(const HtmlOptions& options) : options_(options) {
        // The prefix goes into attributes and fragment links: only characters that need no escaping anywhere.
        std::string prefix;
        for (char c : options_.id_prefix) {
            if (is_alnum(c) || c == '-' || c == '_') prefix += c;
        }
        options_.id_prefix = std::move(prefix);
    }

    void begin(const Source& source, Output& out) override {
        // One writer may serve several writes: each starts from nothing.
        saved_dst_ = nullptr;
        notes_depth_ = 0;
        notes_.clear();
        pending_.clear();
        head_pending_ = false;
        item_depth_ = 0;
        table_part_ = TablePart::None;
        links_.clear();
        used_ids_.clear();
        next_suffix_.clear();
        notes_by_label_.clear();
        dst_ = &out.buffer();
        out.reserve(kHtmlSize(source.document.span.end));
        if (!options_.standalone) return;
        if (std::string title; metadata_title(source.document.metadata, title)) {
            write_head(out.buffer(), title);
        } else {
            // The title is the first heading's text: what comes before it waits until it is known.
            head_pending_ = true;
            dst_ = &pending_;
        }
    }

    void node(NodeRef top, size_t, Output& out) override {
        if (head_pending_ && top.type == NodeType::Heading) flush_head(out, inline_text(top));
        Walker walk(top);
        while (walk.next()) {
            if (walk.event() == Event::Enter) {
                enter(walk);
            } else {
                leave(walk);
            }
        }
        if (dst_ == &out.buffer()) out.written();
    }

    void end(const Source&, Output& out) override {
        if (head_pending_) flush_head(out, {});
        std::string& o = out.buffer();
        if (!notes_.empty()) {
            o += "<div class=\"footnotes\">\n<ul>\n";
            o += notes_;
            o += "</ul>\n</div>\n";
            notes_.clear();
        }
        if (options_.standalone) o += "</body>\n</html>\n";
        out.written();
    }

private:
    // The last "title" entry of the metadata, when it is a text or a whole number.
    static bool metadata_title(const Metadata* metadata, std::string& title) {
        if (metadata == nullptr) return false;
        for (auto it = metadata->entries.rbegin(); it != metadata->entries.rend(); ++it) {
            if (it->key != "title") continue;
            if (it->value.kind == AttrKind::String) {
                title.assign(it->value.string);
                return true;
            }
            if (it->value.kind == AttrKind::Int) {
                title = std::to_string(it->value.integer);
                return true;
            }
            return false;
        }
        return false;
    }

    void write_head(std::string& o, std::string_view title) {
        o += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
        escape(o, title);
        o += "</title>\n<style>";
        o += kStylesheet;
        o += "</style>\n</head>\n<body>\n";
    }

    void flush_head(Output& out, std::string_view title) {
        head_pending_ = false;
        write_head(out.buffer(), title);
        out.buffer() += pending_;
        pending_ = std::string();
        dst_ = &out.buffer();
        out.written();
    }

    // Reserves `base` or, when it is taken, the first free `base-N` (N from 2): the same text twice gives two
    // ids. Each base remembers where its count stopped, so n equal headings cost linear time.
    std::string unique_id(std::string base) {
        if (used_ids_.insert(base).second) return base;
        size_t& n = next_suffix_[base];
        if (n < 2) n = 2;
        std::string id;
        do {
            id = base + '-' + std::to_string(n++);
        } while (!used_ids_.insert(id).second);
        return id;
    }

    // The id part of a footnote label, shared by its definition ("fn-") and its first reference ("fnref-").
    struct Note {
        std::string slug;
        bool referenced = false;
        bool defined = false;
    };
    Note& note(std::string_view label) {
        auto [it, added] = notes_by_label_.try_emplace(std::string(label));
        if (added) {
            std::string base = "fn-";
            append_slug(base, label);
            if (base.size() == 3) base += "note";
            it->second.slug = unique_id(std::move(base)).substr(3);
        }
        return it->second;
    }

    void id_attr(std::string& o, std::string_view kind, std::string_view slug) {
        o += " id=\"";
        o += options_.id_prefix;
        o += kind;
        o += slug;
        o += '"';
    }
    void fragment_attr(std::string& o, std::string_view kind, std::string_view slug) {
        o += " href=\"#";
        o += options_.id_prefix;
        o += kind;
        o += slug;
        o += '"';
    }

    // A paragraph alone in a list item or a footnote gets no <p> of its own.
    static bool is_tight(const Walker& walk) {
        if (walk.depth() == 0) return false;
        const NodeRef parent = walk.parent();
        return (parent.type == NodeType::ListItem || parent.type == NodeType::FootnoteDef) && child_count(parent) == 1;
    }

    static int heading_level(NodeRef node) { return std::clamp<int>(node.as<Heading>().level, 1, 6); }

    void verbatim(std::string& o, std::string_view cls, std::string_view content) {
        o += "<pre class=\"";
        o += cls;
        o += "\"><code>";
        escape(o, content);
        o += "</code></pre>\n";
    }

    void enter_notes() {
        if (notes_depth_++ == 0) {
            saved_dst_ = dst_;
            dst_ = &notes_;
        }
    }
    void leave_notes() {
        if (--notes_depth_ == 0) dst_ = saved_dst_;
    }

    // The walk's dispatcher: what is written where the walk enters a node. A container opens here (open_*)
    // and closes in leave(); a node without children of its own (a code block, a figure, an autolink) is
    // written whole (write_*). One-line cases stay in the switch.
    void enter(Walker& walk) {
        std::string& o = *dst_;
        const NodeRef n = walk.node();
        switch (n.type) {
            case NodeType::Heading:
                open_heading(o, n);
                break;
            case NodeType::Paragraph:
                if (!is_tight(walk)) o += "<p>";
                break;
            case NodeType::List:
                open_list(o, n.as<List>());
                break;
            case NodeType::ListItem:
                ++item_depth_;
                o += "<li>";
                break;
            case NodeType::CodeBlock:
                write_code_block(o, n.as<CodeBlock>());
                break;
            case NodeType::Callout:
                open_callout(o, n.as<Callout>());
                break;
            case NodeType::Quote:
                o += "<blockquote>\n";
                break;
            case NodeType::Figure:
                write_figure(o, n.as<Figure>());
                break;
            case NodeType::Table:
                o += "<table>\n";
                table_part_ = TablePart::None;
                break;
            case NodeType::TableRow:
                open_table_row(o, n.as<TableRow>());
                break;
            case NodeType::TableCell:
                o += header_cell(walk) ? "<th>" : "<td>";
                break;
            case NodeType::Footnotes:
                enter_notes();
                break;
            case NodeType::FootnoteDef:
                open_footnote_def(n.as<FootnoteDef>());
                break;
            case NodeType::MathBlock:
                write_math_block(o, n.as<MathBlock>());
                break;
            case NodeType::ThematicBreak:
                o += "<hr>\n";
                break;
            case NodeType::HtmlBlock:
                if (options_.raw_html == RawHtml::Allow) {
                    o += n.as<HtmlBlock>().content;
                    o += '\n';
                } else if (options_.raw_html == RawHtml::Escape) {
                    verbatim(o, "html-block", n.as<HtmlBlock>().content);
                }
                break;
            case NodeType::RawBlock:
                if (options_.raw_html != RawHtml::Omit) verbatim(o, "raw-block", n.as<RawBlock>().content);
                break;
            case NodeType::Text:
                write_text(o, n.as<Inline>().text);
                break;
            case NodeType::Emphasis:
                o += "<em>";
                break;
            case NodeType::Strong:
                o += "<strong>";
                break;
            case NodeType::Strikethrough:
                o += "<del>";
                break;
            case NodeType::CodeSpan:
                o += "<code>";
                escape(o, n.as<Inline>().text);
                o += "</code>";
                break;
            case NodeType::Link:
                open_link(o, n.as<Inline>());
                break;
            case NodeType::AutoLink:
                write_autolink(o, n.as<Inline>().text);
                break;
            case NodeType::FootnoteRef:
                write_footnote_ref(o, n.as<Inline>().text);
                break;
            case NodeType::HardBreak:
                o += "<br>\n";
                break;
            case NodeType::SoftBreak:
                o += '\n';
                break;
        }
    }

    // ------------------------------------------------------------------------------------------- blocks

    void open_heading(std::string& o, NodeRef n) {
        o += "<h";
        o += static_cast<char>('0' + heading_level(n));
        if (options_.heading_ids) {
            std::string base = "h-";
            append_slug(base, inline_text(n));
            if (base.size() == 2) base += "section";
            id_attr(o, "", unique_id(std::move(base)));
        }
        o += '>';
    }

    static void open_list(std::string& o, const List& list) {
        if (list.kind != ListKind::Ordered) {
            o += "<ul>\n";
            return;
        }
        o += "<ol";
        if (list.start) {
            o += " start=\"";
            o += std::to_string(*list.start);
            o += '"';
        }
        o += ">\n";
    }

    static void write_code_block(std::string& o, const CodeBlock& code) {
        // The language names a class: its first word, in the characters language names use.
        std::string lang;
        for (char c : code.lang) {
            if (c == ' ' || c == '\t') {
                if (lang.empty()) continue;
                break;
            }
            if (is_alnum(c) || c == '-' || c == '_' || c == '+' || c == '#' || c == '.') lang += c;
        }
        o += "<pre><code";
        if (!lang.empty()) {
            o += " class=\"language-";
            o += lang;
            o += '"';
        }
        o += '>';
        escape(o, code.content);
        o += "</code></pre>\n";
    }

    static void open_callout(std::string& o, const Callout& callout) {
        o += "<aside class=\"callout";
        std::string kind;
        append_slug(kind, callout.kind);
        if (!kind.empty()) {
            o += " callout-";
            o += kind;
        }
        o += "\">\n";
        if (callout.title) {
            o += "<p class=\"callout-title\">";
            escape(o, *callout.title);
            o += "</p>\n";
        }
    }

    void write_figure(std::string& o, const Figure& figure) {
        o += "<figure>\n";
        const bool shown = !figure.src.empty() && clean_url(figure.src, options_.allowed_schemes, true, url_);
        if (shown) {
            o += "<img src=\"";
            escape(o, url_);
            o += "\" alt=\"";
            escape(o, figure.alt);
            o += "\">\n";
        }
        // Without an image the alt text stands in for a missing caption, so no words are lost.
        const std::string_view caption = figure.caption ? *figure.caption : shown ? "" : figure.alt;
        if (!caption.empty()) {
            o += "<figcaption>";
            escape(o, caption);
            o += "</figcaption>\n";
        }
        o += "</figure>\n";
    }

    void open_table_row(std::string& o, const TableRow& row) {
        // Header rows before the first body row form the thead; a later one stays a row of th cells.
        const TablePart part = row.header && table_part_ != TablePart::Body ? TablePart::Head : TablePart::Body;
        if (part != table_part_) {
            if (table_part_ == TablePart::Head) o += "</thead>\n";
            o += part == TablePart::Head ? "<thead>\n" : "<tbody>\n";
            table_part_ = part;
        }
        o += "<tr>";
    }

    // A definition goes with the others, written at the end.
    void open_footnote_def(const FootnoteDef& def) {
        enter_notes();
        std::string& d = *dst_;
        Note& entry = note(def.label);
        d += "<li";
        if (!entry.defined) id_attr(d, "fn-", entry.slug);
        entry.defined = true;
        // The label is the way back to the (first) reference.
        d += "><a class=\"footnote-backref\"";
        fragment_attr(d, "fnref-", entry.slug);
        d += ">[";
        escape(d, def.label);
        d += "]</a> ";
    }

    static void write_math_block(std::string& o, const MathBlock& math) {
        // The delimiters client-side math renderers look for by default; the TeX itself is text.
        o += math.display ? "<div class=\"math display\">\\[" : "<div class=\"math inline\">\\(";
        escape(o, math.content);
        o += math.display ? "\\]</div>\n" : "\\)</div>\n";
    }

    // ------------------------------------------------------------------------------------------- inlines

    void write_text(std::string& o, std::string_view text) const {
        if (item_depth_ > 0) {
            without_continuation_marks(text, [&](std::string_view piece) { escape(o, piece); });
        } else {
            escape(o, text);
        }
    }

    // A refused URL leaves the label as plain text.
    void open_link(std::string& o, const Inline& link) {
        const bool shown = clean_url(link.text, options_.allowed_schemes, false, url_);
        links_.push_back(shown);
        if (!shown) return;
        o += "<a href=\"";
        escape(o, url_);
        o += '"';
        if (link.title) {
            o += " title=\"";
            escape(o, *link.title);
            o += '"';
        }
        o += '>';
    }

    void write_autolink(std::string& o, std::string_view url) {
        if (!clean_url(url, options_.allowed_schemes, false, url_)) {
            escape(o, url);
            return;
        }
        o += "<a href=\"";
        escape(o, url_);
        o += "\">";
        escape(o, url);
        o += "</a>";
    }

    void write_footnote_ref(std::string& o, std::string_view label) {
        Note& entry = note(label);
        o += "<sup class=\"footnote-ref\"><a";
        fragment_attr(o, "fn-", entry.slug);
        if (!entry.referenced) id_attr(o, "fnref-", entry.slug);
        entry.referenced = true;
        o += ">[";
        escape(o, label);
        o += "]</a></sup>";
    }

    // What is written where the walk leaves a node: the closing tags of the containers opened in enter().
    void leave(Walker& walk) {
        std::string& o = *dst_;
        const NodeRef n = walk.node();
        switch (n.type) {
            case NodeType::Heading:
                o += "</h";
                o += static_cast<char>('0' + heading_level(n));
                o += ">\n";
                break;
            case NodeType::Paragraph:
                if (!is_tight(walk)) o += "</p>\n";
                break;
            case NodeType::List:
                o += n.as<List>().kind == ListKind::Ordered ? "</ol>\n" : "</ul>\n";
                break;
            case NodeType::ListItem:
                --item_depth_;
                o += "</li>\n";
                break;
            case NodeType::Callout:
                o += "</aside>\n";
                break;
            case NodeType::Quote:
                o += "</blockquote>\n";
                break;
            case NodeType::Table:
                if (table_part_ != TablePart::None) o += table_part_ == TablePart::Head ? "</thead>\n" : "</tbody>\n";
                o += "</table>\n";
                table_part_ = TablePart::None;
                break;
            case NodeType::TableRow:
                o += "</tr>\n";
                break;
            case NodeType::TableCell:
                o += header_cell(walk) ? "</th>" : "</td>";
                break;
            case NodeType::Footnotes:
                leave_notes();
                break;
            case NodeType::FootnoteDef:
                o += "</li>\n";
                leave_notes();
                break;
            case NodeType::Emphasis:
                o += "</em>";
                break;
            case NodeType::Strong:
                o += "</strong>";
                break;
            case NodeType::Strikethrough:
                o += "</del>";
                break;
            case NodeType::Link:
                if (!links_.empty()) {
                    if (links_.back()) o += "</a>";
                    links_.pop_back();
                }
                break;
            default:
                break;
        }
    }

    static bool header_cell(const Walker& walk) {
        return walk.depth() > 0 && walk.parent().type == NodeType::TableRow && walk.parent().as<TableRow>().header;
    }

    enum class TablePart : uint8_t { None, Head, Body };

    HtmlOptions options_;
    std::string* dst_ = nullptr;        // where the next bytes go: the output, notes_ or pending_
    std::string* saved_dst_ = nullptr;  // where they went before a footnote definition began
    size_t notes_depth_ = 0;
    std::string notes_;    // the footnote definitions, written at the end
    std::string pending_;  // a standalone page's body until its title is known
    bool head_pending_ = false;
    size_t item_depth_ = 0;  // the list items open around the current node
    TablePart table_part_ = TablePart::None;
    std::vector<bool> links_;  // for each open link: whether its <a> was written
    std::string url_;          // the cleaned URL being written
    std::unordered_set<std::string> used_ids_;
    std::unordered_map<std::string, size_t> next_suffix_;
    std::unordered_map<std::string, Note> notes_by_label_;
};

}  // namespace

std::unique_ptr<Writer> make_html_writer(const HtmlOptions& options) {
    return std::make_unique<HtmlWriter>(options);
}

}  // namespace quillet::writers
