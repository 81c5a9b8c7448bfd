// HTML, safe to put in a page by default. Documents are often written by programs nobody vetted, so every
// text is treated as hostile: it is escaped wherever it goes (element text and quoted attribute values alike),
// URLs are checked against an allowlist of schemes after the clean-up a browser applies before it reads one,
// HTML blocks are escaped unless the caller allows them, and ids are built from letters, marks and digits
// with a fixed part that no script global can have. What the caller gives (the page's head, a code hook's
// HTML) is the caller's to vouch for.
//
// The writer works block by block as a parse hands them over. It keeps across blocks only what it must: the
// ids handed out so far, the footnotes and, while it cannot write them yet, the blocks it holds back.
//
// Footnotes are numbered in the order of their first reference and listed at the end in that order, each
// with links back to its references. A reference is written at once when its note is already defined;
// one that comes before its definition is held back, with everything after it, until the definition
// arrives (or the end, where a reference to a note never defined becomes its own text). A whole page whose
// title is the first heading's holds back what precedes that heading the same way.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "formats.hpp"
#include "quillet/utf8.hpp"
#include "text_util.hpp"
#include "unicode_words.hpp"

namespace quillet::writers {
namespace {

using namespace std::string_view_literals;

// A heading's text can be as long as its input; an id longer than this many characters tells a reader
// nothing more.
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
    ".footnotes{margin-top:2em;border-top:1px solid #ccc;font-size:.9em}.footnote-backref{text-decoration:none}";

// Run once the page is read when the caller loads a math renderer or a highlighter: KaTeX's auto-render and
// highlight.js wait to be called, MathJax and Prism start on their own.
constexpr std::string_view kStarter =
    "<script>document.addEventListener(\"DOMContentLoaded\",function(){"
    "if(window.renderMathInElement)renderMathInElement(document.body);"
    "if(window.hljs)hljs.highlightAll()})</script>\n";

// The mark of a link from a footnote back to a reference: U+21A9 and the variation selector that asks for
// text, not an emoji.
constexpr std::string_view kBackArrow = "\xE2\x86\xA9\xEF\xB8\x8E";

// The bytes escaped in text and attribute values: & < > " ' and NUL, which an HTML parser drops or replaces,
// and which becomes U+FFFD here so that the text a browser reads back is the text written. With SSE2 they
// are found sixteen bytes at a time (skip_plain).
#if !defined(__SSE2__)
constexpr std::array<bool, 256> kEscaped = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : std::string_view("&<>\"'", 5)) table[c] = true;
    table[0] = true;
    return table;
}();
#endif

// The end of the run of bytes that need no escaping from p on.
inline const char* skip_plain(const char* p, const char* end) {
#if defined(__SSE2__)
    return p + find_first(std::string_view(p, static_cast<size_t>(end - p)), 0, [](__m128i v) {
               const auto is = [v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
               const __m128i hit =
                   _mm_or_si128(_mm_or_si128(_mm_or_si128(is('&'), is('<')), _mm_or_si128(is('>'), is('"'))),
                                _mm_or_si128(is('\''), is('\0')));
               return static_cast<unsigned>(_mm_movemask_epi8(hit));
           });
#else
    while (p < end && !kEscaped[static_cast<unsigned char>(*p)]) ++p;
    return p;
#endif
}

void escape(std::string& out, std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* run = p;
        p = skip_plain(p, end);
        out.append(run, static_cast<size_t>(p - run));
        if (p == end) break;
        switch (*p) {
            case '&':
                out.append("&amp;", 5);
                break;
            case '<':
                out.append("&lt;", 4);
                break;
            case '>':
                out.append("&gt;", 4);
                break;
            case '"':
                out.append("&quot;", 6);
                break;
            case '\'':
                out.append("&#39;", 5);
                break;
            default:
                out.append("\xEF\xBF\xBD", 3);  // U+FFFD for NUL
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

// Appends `text` as a class name: ASCII letters (lower-cased) and digits, every run of other bytes one '-',
// none at either end, at most kMaxSlugSize bytes. Appends nothing when the text has no letter or digit.
void append_class_slug(std::string& out, std::string_view text) {
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

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
        return;
    }
    if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    }
    out += static_cast<char>(0x80 | (cp & 0x3F));
}

// Appends `text` as an id: the letters (lower-cased), marks and digits of every script, every run of other
// characters one '-', none at either end, at most kMaxSlugSize characters. Nothing it writes needs escaping
// in an attribute, and a browser finds it from a URL's fragment. Appends nothing when the text has no letter
// or digit.
void append_id_slug(std::string& out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    size_t count = 0;
    bool gap = false;
    while (p < end) {
        uint32_t cp = *p;
        size_t length = 1;
        bool word = false;
        if (cp < 0x80) {
            word = is_alnum(static_cast<char>(cp));
            cp = static_cast<unsigned char>(lower(static_cast<char>(cp)));
        } else {
            // A text a caller put in a tree may hold broken bytes: each is a gap.
            length = decode_utf8(p, static_cast<size_t>(end - p), cp);
            word = length != 0 && is_word_code_point(cp);
            if (length == 0) length = 1;
        }
        p += length;
        if (!word) {
            gap = count > 0;
            continue;
        }
        if (count + (gap ? 2 : 1) > kMaxSlugSize) break;
        if (gap) out += '-';
        count += gap ? 2 : 1;
        gap = false;
        // Some lower to ASCII: the Kelvin sign to 'k', a dotted capital I to 'i'.
        append_utf8(out, cp < 0x80 ? cp : lower_code_point(cp));
    }
}

// Keeps the characters of `text` that `keep` accepts.
template <class Keep>
std::string filtered(std::string_view text, Keep keep) {
    std::string out;
    for (char c : text) {
        if (keep(c)) out += c;
    }
    return out;
}

// rel's keywords, as given with the characters a keyword has, one space between them; "noopener" added
// when a link opens a new browsing context.
std::string link_rel(std::string_view rel, std::string_view target) {
    std::string out;
    bool opener_blocked = false;
    size_t i = 0;
    while (i < rel.size()) {
        while (i < rel.size() &&
               (rel[i] == ' ' || rel[i] == '\t' || rel[i] == '\n' || rel[i] == '\r' || rel[i] == '\f'))
            ++i;
        std::string word;
        for (; i < rel.size() && rel[i] != ' ' && rel[i] != '\t' && rel[i] != '\n' && rel[i] != '\r' && rel[i] != '\f';
             ++i) {
            if (is_alnum(rel[i]) || rel[i] == '-' || rel[i] == '_' || rel[i] == '.' || rel[i] == ':') word += rel[i];
        }
        if (word.empty()) continue;
        if (equals_lower(word, "noopener") || equals_lower(word, "noreferrer")) opener_blocked = true;
        if (!out.empty()) out += ' ';
        out += word;
    }
    if (equals_lower(target, "_blank") && !opener_blocked) out += out.empty() ? "noopener"sv : " noopener"sv;
    return out;
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
    // Copied run by run: the tabs and line breaks between runs are left out.
    out.clear();
    for (size_t i = begin; i < end;) {
        size_t run_end = i;
        while (run_end < end && url[run_end] != '\t' && url[run_end] != '\n' && url[run_end] != '\r') ++run_end;
        out.append(url, i, run_end - i);
        i = run_end + 1;
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

// The last entry of `key` in the metadata, when it is a text or a whole number.
bool metadata_text(const Metadata* metadata, std::string_view key, std::string& text) {
    if (metadata == nullptr) return false;
    for (auto it = metadata->entries.rbegin(); it != metadata->entries.rend(); ++it) {
        if (it->key != key) continue;
        if (it->value.kind == AttrKind::String) {
            text.assign(it->value.string);
            return true;
        }
        if (it->value.kind == AttrKind::Int) {
            text = std::to_string(it->value.integer);
            return true;
        }
        return false;
    }
    return false;
}

class HtmlWriter : public Writer {
public:
    explicit HtmlWriter(const HtmlOptions& options) : options_(options) {
        // What goes into attributes and fragment links unescaped: only characters that need no escaping
        // anywhere.
        const auto id_char = [](char c) { return is_alnum(c) || c == '-' || c == '_'; };
        options_.id_prefix = filtered(options_.id_prefix, id_char);
        const std::string target =
            filtered(options_.link_target, [&](char c) { return id_char(c) || c == '.' || c == ':'; });
        const std::string rel = link_rel(options_.link_rel, target);
        if (!rel.empty()) link_attributes_ += " rel=\"" + rel + '"';
        if (!target.empty()) link_attributes_ += " target=\"" + target + '"';
    }

    void begin(const Source& source, Output& out) override {
        // One writer may serve several writes: each starts from nothing.
        head_pending_ = false;
        item_depth_ = 0;
        table_part_ = TablePart::None;
        links_.clear();
        used_ids_.clear();
        next_suffix_.clear();
        notes_by_label_.clear();
        definitions_.clear();
        open_definitions_.clear();
        listed_.clear();
        numbered_ = 0;
        waiting_ = 0;
        held_from_ = kNotHeld;
        held_refs_.clear();
        body_ = &out.buffer();
        dst_ = body_;
        out.reserve(kHtmlSize(source.document.span.end));
        if (!options_.standalone) return;
        lang_.clear();
        if (is_language_tag(options_.lang)) {
            lang_ = options_.lang;
        } else if (std::string lang; metadata_text(source.document.metadata, "lang", lang) && is_language_tag(lang)) {
            lang_ = std::move(lang);
        }
        if (options_.title) {
            write_head(out.buffer(), *options_.title);
        } else if (std::string title; metadata_text(source.document.metadata, "title", title)) {
            write_head(out.buffer(), title);
        } else {
            // The title is the first heading's text: what comes before it waits until it is known.
            head_pending_ = true;
            hold(out.buffer());
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
        if (held() && !head_pending_ && waiting_ == 0) release(out);
        if (!held()) out.written();
    }

    void end(const Source&, Output& out) override {
        if (head_pending_) flush_head(out, {});
        // A reference still waiting names a note that was never defined: it is written as its text.
        if (held()) release(out);
        write_notes(out.buffer());
        if (options_.standalone) out.buffer() += "</body>\n</html>\n"sv;
        out.written();
    }

private:
    void write_head(std::string& o, std::string_view title) {
        o += "<!DOCTYPE html>\n<html"sv;
        if (!lang_.empty()) {
            o += " lang=\""sv;
            escape(o, lang_);
            o += '"';
        }
        o += ">\n<head>\n<meta charset=\"utf-8\">\n"
             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
        escape(o, title);
        o += "</title>\n"sv;
        for (const std::string& url : options_.stylesheets) {
            o += "<link rel=\"stylesheet\" href=\""sv;
            escape(o, url);
            o += "\">\n"sv;
        }
        if (options_.style || options_.stylesheets.empty()) {
            o += "<style>"sv;
            o += options_.style ? std::string_view(*options_.style) : kStylesheet;
            o += "</style>\n"sv;
        }
        for (const auto* scripts : {&options_.math_scripts, &options_.highlight_scripts}) {
            for (const std::string& url : *scripts) {
                o += "<script defer src=\""sv;
                escape(o, url);
                o += "\"></script>\n"sv;
            }
        }
        if (!options_.math_scripts.empty() || !options_.highlight_scripts.empty()) o += kStarter;
        o += options_.head_html;
        if (!options_.head_html.empty() && options_.head_html.back() != '\n') o += '\n';
        o += "</head>\n<body>\n"sv;
    }

    // The head goes before the body held back for it (the references held keep their places in the body).
    void flush_head(Output& out, std::string_view title) {
        head_pending_ = false;
        std::string head;
        write_head(head, title);
        out.buffer().insert(held_from_, head);
        held_from_ += head.size();
        if (waiting_ == 0) release(out);
    }

    // ---------------------------------------------------------------------------- held blocks, footnotes

    struct Definition;
    // A footnote label's note: its number (0 until a reference or the list gives it one), the references
    // written so far, its first definition, the held references still waiting for that definition.
    struct Note {
        std::string label;
        size_t number = 0;
        size_t refs = 0;
        Definition* definition = nullptr;
        size_t waiting = 0;
    };
    // A reference not written yet: at byte `at` of the text that holds it (of the body held back, for one in
    // the body).
    struct Slot {
        size_t at;
        Note* note;
    };
    // One definition: its content, the references inside it (written with the list), its place in the
    // list (0 until given), and the note it is the first definition of, if it is.
    struct Definition {
        std::string html;
        std::vector<Slot> refs;
        size_t number = 0;
        Note* note = nullptr;
    };

    Note& note(std::string_view label) {
        auto [it, added] = notes_by_label_.try_emplace(std::string(label));
        if (added) it->second.label = it->first;
        return it->second;
    }

    // The body is held back in the output's buffer: written there, but not handed on (a streaming Output
    // would write it out), with the references it waits for left out, their places kept in held_refs_.
    bool held() const { return held_from_ != kNotHeld; }
    void hold(const std::string& body) {
        if (!held()) held_from_ = body.size();
    }

    // Writes the held references in their places, moving the body after each one along (from the end, so
    // every byte moves once), and hands the body on.
    void release(Output& out) {
        std::string& o = out.buffer();
        refs_text_.clear();
        ref_ends_.clear();
        for (const Slot& slot : held_refs_) {
            write_ref(refs_text_, *slot.note);
            ref_ends_.push_back(refs_text_.size());
        }
        size_t from = o.size();
        o.resize(o.size() + refs_text_.size());
        size_t to = o.size();
        for (size_t i = held_refs_.size(); i-- > 0;) {
            const size_t at = held_from_ + held_refs_[i].at;
            std::memmove(o.data() + (to - (from - at)), o.data() + at, from - at);
            to -= from - at;
            const size_t ref_start = i == 0 ? 0 : ref_ends_[i - 1];
            to -= ref_ends_[i] - ref_start;
            std::memcpy(o.data() + to, refs_text_.data() + ref_start, ref_ends_[i] - ref_start);
            from = at;
        }
        held_from_ = kNotHeld;
        held_refs_.clear();
        out.written();
    }

    // Appends `text` with the references of `slots` written in their places.
    void fill(std::string& o, std::string_view text, const std::vector<Slot>& slots) {
        size_t at = 0;
        for (const Slot& slot : slots) {
            o.append(text, at, slot.at - at);
            at = slot.at;
            write_ref(o, *slot.note);
        }
        o.append(text, at, std::string_view::npos);
    }

    // The next place in the footnote list goes to `d`.
    void list(Definition& d) {
        d.number = ++numbered_;
        if (d.note != nullptr) d.note->number = d.number;
        listed_.push_back(&d);
    }

    // A reference whose note is known to be defined or not: a link to it, or the text of the reference.
    void write_ref(std::string& o, Note& n) {
        if (n.definition == nullptr) {
            o += "[^"sv;
            escape(o, n.label);
            o += ']';
            return;
        }
        if (n.number == 0) list(*n.definition);
        const std::string number = std::to_string(n.number);
        o += "<sup class=\"footnote-ref\"><a"sv;
        fragment_attr(o, "fn-", number);
        id_attr(o, "fnref-", ref_id(number, ++n.refs));
        o += '>';
        o += number;
        o += "</a></sup>"sv;
    }

    // The id part of the k-th reference to note `number`: "3", then "3-2", "3-3", ...
    static std::string ref_id(const std::string& number, size_t k) {
        return k == 1 ? number : number + '-' + std::to_string(k);
    }

    void write_footnote_ref(std::string& o, std::string_view label) {
        Note& n = note(label);
        if (!open_definitions_.empty()) {
            // Inside a definition: written with the list, when every note is known.
            open_definitions_.back()->refs.push_back({o.size(), &n});
            return;
        }
        if (!held() && n.definition != nullptr) {
            write_ref(o, n);
            return;
        }
        hold(o);
        held_refs_.push_back({o.size() - held_from_, &n});
        if (n.definition == nullptr) {
            ++n.waiting;
            ++waiting_;
        }
    }

    // A definition's content is kept aside; the list is written at the end.
    void open_footnote_def(const FootnoteDef& def) {
        Note& n = note(def.label);
        Definition& d = definitions_.emplace_back();
        if (n.definition == nullptr) {
            n.definition = &d;
            d.note = &n;
            waiting_ -= n.waiting;
            n.waiting = 0;
        }
        open_definitions_.push_back(&d);
        dst_ = &d.html;
    }
    void close_footnote_def() {
        open_definitions_.pop_back();
        dst_ = open_definitions_.empty() ? body_ : &open_definitions_.back()->html;
    }

    // The notes in the order of their numbers: those referenced, then the definitions no reference names
    // (a label's second definition among them), each numbered on. A definition's references are written
    // first, since they may number further notes; the links back follow once every reference is counted.
    void write_notes(std::string& o) {
        if (definitions_.empty()) return;
        std::string filled;
        size_t done = 0;
        const auto fill_listed = [&] {
            for (; done < listed_.size(); ++done) {
                Definition& d = *listed_[done];
                filled.clear();
                fill(filled, d.html, d.refs);
                d.html.swap(filled);
            }
        };
        fill_listed();
        for (Definition& d : definitions_) {
            if (d.number != 0) continue;
            list(d);
            fill_listed();
        }
        o += "<div class=\"footnotes\">\n<ol>\n"sv;
        for (const Definition* d : listed_) {
            const std::string number = std::to_string(d->number);
            o += "<li"sv;
            id_attr(o, "fn-", number);
            o += '>';
            // The links back go at the end of the last paragraph, or after the content.
            std::string_view html = d->html;
            const bool in_paragraph = html.size() >= 5 && html.substr(html.size() - 5) == "</p>\n";
            if (in_paragraph) html.remove_suffix(5);
            o += html;
            const size_t refs = d->note != nullptr ? d->note->refs : 0;
            for (size_t k = 1; k <= refs; ++k) {
                if (k > 1 || !html.empty()) o += ' ';
                o += "<a class=\"footnote-backref\""sv;
                fragment_attr(o, "fnref-", ref_id(number, k));
                o += '>';
                o += kBackArrow;
                if (k > 1) {
                    o += "<sup>"sv;
                    o += std::to_string(k);
                    o += "</sup>"sv;
                }
                o += "</a>"sv;
            }
            if (in_paragraph) o += "</p>\n"sv;
            o += "</li>\n"sv;
        }
        o += "</ol>\n</div>\n"sv;
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

    void id_attr(std::string& o, std::string_view kind, std::string_view slug) {
        o += " id=\""sv;
        o += options_.id_prefix;
        o += kind;
        o += slug;
        o += '"';
    }
    void fragment_attr(std::string& o, std::string_view kind, std::string_view slug) {
        o += " href=\"#"sv;
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
        o += "<pre class=\""sv;
        o += cls;
        o += "\"><code>"sv;
        escape(o, content);
        o += "</code></pre>\n"sv;
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
                if (!is_tight(walk)) o += "<p>"sv;
                break;
            case NodeType::List:
                open_list(o, n.as<List>());
                break;
            case NodeType::ListItem:
                ++item_depth_;
                o += "<li>"sv;
                break;
            case NodeType::CodeBlock:
                write_code_block(o, n.as<CodeBlock>());
                break;
            case NodeType::Callout:
                open_callout(o, n.as<Callout>());
                break;
            case NodeType::Quote:
                o += "<blockquote>\n"sv;
                break;
            case NodeType::Figure:
                write_figure(o, n.as<Figure>());
                break;
            case NodeType::Table:
                o += "<table>\n"sv;
                table_part_ = TablePart::None;
                break;
            case NodeType::TableRow:
                open_table_row(o, n.as<TableRow>());
                break;
            case NodeType::TableCell:
                o += header_cell(walk) ? "<th>"sv : "<td>"sv;
                break;
            case NodeType::Footnotes:
                break;
            case NodeType::FootnoteDef:
                open_footnote_def(n.as<FootnoteDef>());
                break;
            case NodeType::MathBlock:
                write_math_block(o, n.as<MathBlock>());
                break;
            case NodeType::ThematicBreak:
                o += "<hr>\n"sv;
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
                o += "<em>"sv;
                break;
            case NodeType::Strong:
                o += "<strong>"sv;
                break;
            case NodeType::Strikethrough:
                o += "<del>"sv;
                break;
            case NodeType::CodeSpan:
                o += "<code>"sv;
                escape(o, n.as<Inline>().text);
                o += "</code>"sv;
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
                o += "<br>\n"sv;
                break;
            case NodeType::SoftBreak:
                o += '\n';
                break;
        }
    }

    // ------------------------------------------------------------------------------------------- blocks

    void open_heading(std::string& o, NodeRef n) {
        o += "<h"sv;
        o += static_cast<char>('0' + heading_level(n));
        if (options_.heading_ids) {
            std::string base = "h-";
            append_id_slug(base, inline_text(n));
            if (base.size() == 2) base += "section"sv;
            id_attr(o, "", unique_id(std::move(base)));
        }
        o += '>';
    }

    static void open_list(std::string& o, const List& list) {
        if (list.kind != ListKind::Ordered) {
            o += "<ul>\n"sv;
            return;
        }
        o += "<ol"sv;
        if (list.start) {
            o += " start=\""sv;
            o += std::to_string(*list.start);
            o += '"';
        }
        o += ">\n"sv;
    }

    void write_code_block(std::string& o, const CodeBlock& code) {
        // The language is its first word; as a class, in the characters language names use.
        std::string_view word = code.lang;
        word.remove_prefix(std::min(word.find_first_not_of(" \t"), word.size()));
        word = word.substr(0, word.find_first_of(" \t"));
        if (options_.code_block && options_.code_block(code.content, word, o)) return;
        const std::string lang = filtered(
            word, [](char c) { return is_alnum(c) || c == '-' || c == '_' || c == '+' || c == '#' || c == '.'; });
        o += "<pre><code"sv;
        if (!lang.empty()) {
            o += " class=\"language-"sv;
            o += lang;
            o += '"';
        }
        o += '>';
        escape(o, code.content);
        o += "</code></pre>\n"sv;
    }

    static void open_callout(std::string& o, const Callout& callout) {
        o += "<aside class=\"callout"sv;
        std::string kind;
        append_class_slug(kind, callout.kind);
        if (!kind.empty()) {
            o += " callout-"sv;
            o += kind;
        }
        o += "\">\n"sv;
        if (callout.title) {
            o += "<p class=\"callout-title\">"sv;
            escape(o, *callout.title);
            o += "</p>\n"sv;
        }
    }

    void write_figure(std::string& o, const Figure& figure) {
        o += "<figure>\n"sv;
        const bool shown = !figure.src.empty() && clean_url(figure.src, options_.allowed_schemes, true, url_);
        if (shown) {
            o += "<img src=\""sv;
            escape(o, url_);
            o += "\" alt=\""sv;
            escape(o, figure.alt);
            o += "\">\n"sv;
        }
        // Without an image the alt text stands in for a missing caption, so no words are lost.
        const std::string_view caption = figure.caption ? *figure.caption : shown ? "" : figure.alt;
        if (!caption.empty()) {
            o += "<figcaption>"sv;
            escape(o, caption);
            o += "</figcaption>\n"sv;
        }
        o += "</figure>\n"sv;
    }

    void open_table_row(std::string& o, const TableRow& row) {
        // Header rows before the first body row form the thead; a later one stays a row of th cells.
        const TablePart part = row.header && table_part_ != TablePart::Body ? TablePart::Head : TablePart::Body;
        if (part != table_part_) {
            if (table_part_ == TablePart::Head) o += "</thead>\n"sv;
            o += part == TablePart::Head ? "<thead>\n"sv : "<tbody>\n"sv;
            table_part_ = part;
        }
        o += "<tr>"sv;
    }

    static void write_math_block(std::string& o, const MathBlock& math) {
        // The delimiters client-side math renderers look for by default; the TeX itself is text.
        o += math.display ? "<div class=\"math display\">\\["sv : "<div class=\"math inline\">\\("sv;
        escape(o, math.content);
        o += math.display ? "\\]</div>\n"sv : "\\)</div>\n"sv;
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
        o += "<a href=\""sv;
        escape(o, url_);
        o += '"';
        if (link.title) {
            o += " title=\""sv;
            escape(o, *link.title);
            o += '"';
        }
        o += link_attributes_;
        o += '>';
    }

    void write_autolink(std::string& o, std::string_view url) {
        if (!clean_url(url, options_.allowed_schemes, false, url_)) {
            escape(o, url);
            return;
        }
        o += "<a href=\""sv;
        escape(o, url_);
        o += '"';
        o += link_attributes_;
        o += '>';
        escape(o, url);
        o += "</a>"sv;
    }

    // What is written where the walk leaves a node: the closing tags of the containers opened in enter().
    void leave(Walker& walk) {
        std::string& o = *dst_;
        const NodeRef n = walk.node();
        switch (n.type) {
            case NodeType::Heading:
                o += "</h"sv;
                o += static_cast<char>('0' + heading_level(n));
                o += ">\n"sv;
                break;
            case NodeType::Paragraph:
                if (!is_tight(walk)) o += "</p>\n"sv;
                break;
            case NodeType::List:
                o += n.as<List>().kind == ListKind::Ordered ? "</ol>\n"sv : "</ul>\n"sv;
                break;
            case NodeType::ListItem:
                --item_depth_;
                o += "</li>\n"sv;
                break;
            case NodeType::Callout:
                o += "</aside>\n"sv;
                break;
            case NodeType::Quote:
                o += "</blockquote>\n"sv;
                break;
            case NodeType::Table:
                if (table_part_ != TablePart::None)
                    o += table_part_ == TablePart::Head ? "</thead>\n"sv : "</tbody>\n"sv;
                o += "</table>\n"sv;
                table_part_ = TablePart::None;
                break;
            case NodeType::TableRow:
                o += "</tr>\n"sv;
                break;
            case NodeType::TableCell:
                o += header_cell(walk) ? "</th>"sv : "</td>"sv;
                break;
            case NodeType::FootnoteDef:
                close_footnote_def();
                break;
            case NodeType::Emphasis:
                o += "</em>"sv;
                break;
            case NodeType::Strong:
                o += "</strong>"sv;
                break;
            case NodeType::Strikethrough:
                o += "</del>"sv;
                break;
            case NodeType::Link:
                if (!links_.empty()) {
                    if (links_.back()) o += "</a>"sv;
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
    std::string link_attributes_;  // rel and target, written on every link of the document
    std::string lang_;             // the page's language, or empty
    std::string* body_ = nullptr;  // the output's buffer, where the body goes
    std::string* dst_ = nullptr;   // where the next bytes go: body_, or the definition being written
    // Where the body held back begins in body_ (a reference waits for its note, a page for its title), or
    // kNotHeld; the references it waits for, and how many of them wait for a note not defined yet.
    static constexpr size_t kNotHeld = SIZE_MAX;
    size_t held_from_ = kNotHeld;
    std::vector<Slot> held_refs_;
    size_t waiting_ = 0;
    std::string refs_text_;         // the held references, written when they are released
    std::vector<size_t> ref_ends_;  // where each ends in refs_text_
    bool head_pending_ = false;
    size_t item_depth_ = 0;  // the list items open around the current node
    TablePart table_part_ = TablePart::None;
    std::vector<bool> links_;  // for each open link: whether its <a> was written
    std::string url_;          // the cleaned URL being written
    std::unordered_set<std::string> used_ids_;
    std::unordered_map<std::string, size_t> next_suffix_;
    std::unordered_map<std::string, Note> notes_by_label_;  // a node's address never changes
    std::deque<Definition> definitions_;                    // in the order of the document; nor here
    std::vector<Definition*> open_definitions_;             // a tree may nest a definition in another
    std::vector<Definition*> listed_;                       // the notes in the order of their numbers
    size_t numbered_ = 0;
};

}  // namespace

std::unique_ptr<Writer> make_html_writer(const HtmlOptions& options) {
    return std::make_unique<HtmlWriter>(options);
}

bool url_allowed(std::string_view url, const std::vector<std::string>& schemes, bool image) {
    std::string cleaned;
    return clean_url(url, schemes, image, cleaned);
}

// The syntax of a language tag: a language (with up to three extended subtags), then optionally a script, a
// region, variants, extensions ("u-ca-buddhist") and a private part ("x-..."); or a private part alone.
// Whether the subtags are registered is not looked at.
bool is_language_tag(std::string_view tag) {
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        const size_t dash = std::min(tag.find('-', start), tag.size());
        const std::string_view part = tag.substr(start, dash - start);
        if (part.empty() || part.size() > 8 || !std::all_of(part.begin(), part.end(), is_alnum)) return false;
        parts.push_back(part);
        if (dash == tag.size()) break;
        start = dash + 1;
    }
    const auto letters = [](std::string_view p) { return std::all_of(p.begin(), p.end(), is_alpha); };
    const auto digits = [](std::string_view p) {
        return std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    size_t i = 0;
    const auto at = [&](auto test) { return i < parts.size() && test(parts[i]); };
    const auto private_use = [&] {
        if (!at([](std::string_view p) { return equals_lower(p, "x"); })) return false;
        if (++i == parts.size()) return false;  // "x" needs a subtag after it
        i = parts.size();
        return true;
    };
    if (private_use()) return true;
    if (!at([&](std::string_view p) { return letters(p) && p.size() >= 2; })) return false;
    const bool short_language = parts[i++].size() <= 3;
    for (int n = 0; short_language && n < 3 && at([&](std::string_view p) { return letters(p) && p.size() == 3; });
         ++n) {
        ++i;
    }
    if (at([&](std::string_view p) { return letters(p) && p.size() == 4; })) ++i;  // script
    if (at([&](std::string_view p) { return (letters(p) && p.size() == 2) || (digits(p) && p.size() == 3); })) {
        ++i;  // region
    }
    while (at([](std::string_view p) { return p.size() >= 5 || (p.size() == 4 && p[0] >= '0' && p[0] <= '9'); })) {
        ++i;  // variants
    }
    while (at([](std::string_view p) { return p.size() == 1 && !equals_lower(p, "x"); })) {
        ++i;  // an extension: its singleton, then one or more subtags of two to eight characters
        if (!at([](std::string_view p) { return p.size() >= 2; })) return false;
        while (at([](std::string_view p) { return p.size() >= 2; })) ++i;
    }
    if (i < parts.size() && !private_use()) return false;
    return i == parts.size();
}

}  // namespace quillet::writers
