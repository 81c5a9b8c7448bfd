// JSON in the schema of quillet.to_json: the bytes Python's json.dumps writes for the same data and options.
//
// Every node is an object: "type", its fields in declaration order, "span" (or all of them sorted by key).
// A node's fields up to its list of children are written when the walk enters it, the rest when it leaves,
// so nothing is held back and nothing recurses: the walk and the metadata lists keep their own stacks.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "formats.hpp"

namespace quillet::writers {
namespace {

// Metadata lists nested deeper than this are written on one line even with indentation: indenting them
// would take space growing with the square of the depth (the Python export's PRETTY_DEPTH).
constexpr size_t kPrettyDepth = 100;

constexpr std::string_view kProfileNames[] = {"Quillet", "Md", "MdStrict"};
constexpr std::string_view kModuleNames[] = {"Tables",        "Footnotes", "Math", "Tasks",
                                             "Strikethrough", "Autolink",  "Html"};
constexpr std::string_view kListKindNames[] = {"Ordered", "Unordered"};
constexpr std::string_view kErrorKindNames[] = {"UnexpectedEof",    "UnclosedDelimiter", "InvalidSyntax",
                                                "UnknownDirective", "InvalidMetadata",   "Other"};

template <size_t N>
std::string_view name_of(const std::string_view (&names)[N], size_t value) {
    return value < N ? names[value] : std::string_view("?");
}

// ------------------------------------------------------------------------------------------- strings

// What a byte becomes inside a JSON string: 0 stays as it is, 'u' is written as \u00XX, 'U' starts a
// UTF-8 sequence written as \uXXXX (ASCII mode), any other value is the letter after a backslash.
using EscapeTable = std::array<char, 256>;

EscapeTable escape_table(bool ascii) {
    EscapeTable t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t['"'] = '"';
    t['\\'] = '\\';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['\t'] = 't';
    t['\b'] = 'b';
    t['\f'] = 'f';
    if (ascii) {
        t[0x7f] = 'u';
        for (int c = 0x80; c < 0x100; ++c) t[c] = 'U';
    }
    return t;
}

const EscapeTable kEscapeUtf8 = escape_table(false);
const EscapeTable kEscapeAscii = escape_table(true);

constexpr char kHex[] = "0123456789abcdef";

void append_u(std::string& b, uint32_t unit) {
    const char text[6] = {
        '\\', 'u', kHex[(unit >> 12) & 0xf], kHex[(unit >> 8) & 0xf], kHex[(unit >> 4) & 0xf], kHex[unit & 0xf]};
    b.append(text, 6);
}

// Decodes the UTF-8 sequence at s[i] (a byte >= 0x80) and returns its length. Lone surrogates, which a
// caller's text may hold (encoded as ED A0..BF xx), decode like any other three-byte sequence; a byte
// that starts no complete sequence decodes as U+FFFD on its own.
size_t decode_utf8(std::string_view s, size_t i, uint32_t& cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    size_t len = 0;
    if (lead >= 0xf0 && lead < 0xf5) {
        len = 4;
        cp = lead & 0x07;
    } else if (lead >= 0xe0 && lead < 0xf0) {
        len = 3;
        cp = lead & 0x0f;
    } else if (lead >= 0xc2 && lead < 0xe0) {
        len = 2;
        cp = lead & 0x1f;
    }
    if (len == 0 || i + len > s.size()) {
        cp = 0xfffd;
        return 1;
    }
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) {
            cp = 0xfffd;
            return 1;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3f);
    }
    return len;
}

// `s` as a JSON string: runs of bytes that need no escape are appended whole.
void append_string(std::string& b, std::string_view s, const EscapeTable& table) {
    b.push_back('"');
    const char* data = s.data();
    const size_t n = s.size();
    size_t run = 0;
    size_t i = 0;
    while (i < n) {
        const char e = table[static_cast<unsigned char>(data[i])];
        if (e == 0) {
            ++i;
            continue;
        }
        b.append(data + run, i - run);
        if (e == 'U') {
            uint32_t cp = 0;
            i += decode_utf8(s, i, cp);
            if (cp >= 0x10000) {
                cp -= 0x10000;
                append_u(b, 0xd800 | (cp >> 10));
                append_u(b, 0xdc00 | (cp & 0x3ff));
            } else {
                append_u(b, cp);
            }
        } else {
            if (e == 'u') {
                append_u(b, static_cast<unsigned char>(data[i]));
            } else {
                const char text[2] = {'\\', e};
                b.append(text, 2);
            }
            ++i;
        }
        run = i;
    }
    b.append(data + run, n - run);
    b.push_back('"');
}

// ------------------------------------------------------------------------------------------- numbers

template <class Int>
void append_int(std::string& b, Int value) {
    char text[24];
    const auto r = std::to_chars(text, text + sizeof text, value);
    b.append(text, r.ptr);
}

// A finite float as Python's repr writes it: the shortest digits that read back to the same value, in
// positional form when the decimal point falls within 16 digits of them (with ".0" when there is no
// fraction), otherwise as d.ddde+XX.
void append_float(std::string& b, double value) {
    if (!std::isfinite(value)) {
        // The export has no non-finite numbers: standard JSON cannot write them.
        b.append("null");
        return;
    }
    char text[40];
    const auto r = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    const char* p = text;
    if (*p == '-') {
        b.push_back('-');
        ++p;
    }
    char digits[24];
    size_t n = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[n++] = *p;
    }
    int exponent = 0;
    std::from_chars(p + (p[1] == '+' ? 2 : 1), r.ptr, exponent);
    const int point = exponent + 1;  // digits[0..point) come before the decimal point
    if (point <= -4 || point > 16) {
        b.push_back(digits[0]);
        if (n > 1) {
            b.push_back('.');
            b.append(digits + 1, n - 1);
        }
        b.append(exponent < 0 ? "e-" : "e+");
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) b.push_back('0');
        append_int(b, magnitude);
    } else if (point <= 0) {
        b.append("0.");
        b.append(size_t(-point), '0');
        b.append(digits, n);
    } else if (size_t(point) >= n) {
        b.append(digits, n);
        b.append(size_t(point) - n, '0');
        b.append(".0");
    } else {
        b.append(digits, size_t(point));
        b.push_back('.');
        b.append(digits + point, n - size_t(point));
    }
}

// ------------------------------------------------------------------------------------------- node fields

// One field of one node type; Children is the node's list of child nodes.
enum class Field : uint8_t {
    Type,
    Span,
    Children,
    Level,         // Heading
    ListKind,      // List
    Start,         // List
    Lang,          // CodeBlock
    CodeContent,   // CodeBlock
    CalloutKind,   // Callout
    CalloutTitle,  // Callout
    Src,           // Figure
    Alt,           // Figure
    Caption,       // Figure
    Header,        // TableRow
    DefLabel,      // FootnoteDef
    Display,       // MathBlock
    MathContent,   // MathBlock
    HtmlContent,   // HtmlBlock
    RawContent,    // RawBlock
    InlineText,    // Text and CodeSpan content, AutoLink url, FootnoteRef label
    Url,           // Link
    Title,         // Link
};

struct FieldName {
    std::string_view key;
    Field field;
};

// The fields of each node type in declaration order, "type" and "span" aside.
struct TypeFields {
    NodeType type;
    std::vector<FieldName> fields;
};

std::vector<TypeFields> declared_fields() {
    using F = Field;
    using T = NodeType;
    const FieldName inline_content{"content", F::Children};
    return {
        {T::Heading, {{"level", F::Level}, {"content", F::Children}}},
        {T::Paragraph, {inline_content}},
        {T::List, {{"kind", F::ListKind}, {"start", F::Start}, {"items", F::Children}}},
        {T::ListItem, {{"blocks", F::Children}}},
        {T::CodeBlock, {{"lang", F::Lang}, {"content", F::CodeContent}}},
        {T::Callout, {{"kind", F::CalloutKind}, {"title", F::CalloutTitle}, {"blocks", F::Children}}},
        {T::Quote, {{"blocks", F::Children}}},
        {T::Figure, {{"src", F::Src}, {"alt", F::Alt}, {"caption", F::Caption}}},
        {T::Table, {{"rows", F::Children}}},
        {T::TableRow, {{"cells", F::Children}, {"header", F::Header}}},
        {T::TableCell, {inline_content}},
        {T::Footnotes, {{"defs", F::Children}}},
        {T::FootnoteDef, {{"label", F::DefLabel}, {"blocks", F::Children}}},
        {T::MathBlock, {{"display", F::Display}, {"content", F::MathContent}}},
        {T::ThematicBreak, {}},
        {T::HtmlBlock, {{"content", F::HtmlContent}}},
        {T::RawBlock, {{"content", F::RawContent}}},
        {T::Text, {{"content", F::InlineText}}},
        {T::Emphasis, {inline_content}},
        {T::Strong, {inline_content}},
        {T::Strikethrough, {inline_content}},
        {T::CodeSpan, {{"content", F::InlineText}}},
        {T::Link, {{"label", F::Children}, {"url", F::Url}, {"title", F::Title}}},
        {T::AutoLink, {{"url", F::InlineText}}},
        {T::FootnoteRef, {{"label", F::InlineText}}},
        {T::HardBreak, {}},
        {T::SoftBreak, {}},
    };
}

// The keys of a document, of a parse result's error, in declaration order.
enum class DocKey : uint8_t { Type, Profile, Modules, Metadata, Blocks, Span };
enum class ErrorKey : uint8_t { Message, Kind, Span, Recoverable };

// -------------------------------------------------------------------------------------------- the writer

class JsonWriter final : public Writer {
public:
    explicit JsonWriter(const JsonOptions& options)
        : o_(options), escape_(options.ensure_ascii ? kEscapeAscii : kEscapeUtf8), newline_("\n") {
        for (TypeFields& t : declared_fields()) {
            Layout& layout = layouts_[size_t(t.type)];
            std::vector<FieldName> fields;
            fields.push_back({"type", Field::Type});
            fields.insert(fields.end(), t.fields.begin(), t.fields.end());
            fields.push_back({"span", Field::Span});
            if (o_.sort_keys) {
                std::sort(fields.begin(), fields.end(),
                          [](const FieldName& a, const FieldName& b) { return a.key < b.key; });
            }
            for (const FieldName& f : fields) {
                if (f.field == Field::Children) layout.children = layout.fields.size();
                layout.fields.push_back({key_text(f.key), f.field});
            }
            layout.type_text = quoted(type_name(t.type));
        }
        doc_keys_ = {{"type", DocKey::Type},         {"profile", DocKey::Profile}, {"modules", DocKey::Modules},
                     {"metadata", DocKey::Metadata}, {"blocks", DocKey::Blocks},   {"span", DocKey::Span}};
        error_keys_ = {{"message", ErrorKey::Message},
                       {"kind", ErrorKey::Kind},
                       {"span", ErrorKey::Span},
                       {"recoverable", ErrorKey::Recoverable}};
        if (o_.sort_keys) {
            std::sort(doc_keys_.begin(), doc_keys_.end());
            std::sort(error_keys_.begin(), error_keys_.end());
        }
        for (auto& [key, id] : doc_keys_) key = key_text(key);
        for (auto& [key, id] : error_keys_) key = key_text(key);
        document_key_ = key_text("document");
        errors_key_ = key_text("errors");
    }

    void begin(const Source& source, Output& out) override {
        std::string& b = out.buffer();
        written_ = 0;
        form_ = source.form;
        switch (source.form) {
            case Source::Form::Result:
                // {"document": {...}, "errors": [...]}: the document's fields at level 2, its blocks at 3.
                b.push_back('{');
                newline(b, 1);
                b.append(document_key_);
                begin_document(b, source.document, 1);
                top_level_ = 3;
                break;
            case Source::Form::Document:
                begin_document(b, source.document, 0);
                top_level_ = 2;
                break;
            case Source::Form::Nodes:
                b.push_back('[');
                top_level_ = 1;
                break;
            case Source::Form::Node:
            case Source::Form::Error:
                top_level_ = 0;
                break;
        }
        out.written();
    }

    void node(NodeRef top, size_t index, Output& out) override {
        std::string& b = out.buffer();
        Walker walk(top);
        while (walk.next()) {
            const NodeRef n = walk.node();
            const size_t depth = walk.depth();
            const size_t level = top_level_ + 2 * depth;
            const Layout& layout = layouts_[size_t(n.type)];
            if (walk.event() == Event::Enter) {
                if ((depth == 0 ? index : walk.index()) > 0) b.append(o_.item_separator);
                if (depth > 0 || form_ != Source::Form::Node) newline(b, level);
                b.push_back('{');
                const size_t stop = layout.children < layout.fields.size() ? layout.children + 1 : layout.fields.size();
                write_fields(b, n, layout, 0, stop, level + 1);
                if (stop > layout.children && child_count(n) == 0) b.push_back(']');
            } else {
                size_t from = layout.fields.size();
                if (layout.children < layout.fields.size()) {
                    from = layout.children + 1;
                    if (child_count(n) > 0) {
                        newline(b, level + 1);
                        b.push_back(']');
                    }
                }
                write_fields(b, n, layout, from, layout.fields.size(), level + 1);
                newline(b, level);
                b.push_back('}');
                out.written();
            }
        }
        ++written_;
    }

    void end(const Source& source, Output& out) override {
        std::string& b = out.buffer();
        switch (source.form) {
            case Source::Form::Result:
                end_document(b, source.document, 1);
                b.append(o_.item_separator);
                newline(b, 1);
                b.append(errors_key_);
                if (source.error_count == 0) {
                    b.append("[]");
                } else {
                    b.push_back('[');
                    for (size_t i = 0; i < source.error_count; ++i) {
                        if (i > 0) b.append(o_.item_separator);
                        newline(b, 2);
                        write_error(b, source.errors[i], 2);
                        out.written();
                    }
                    newline(b, 1);
                    b.push_back(']');
                }
                newline(b, 0);
                b.push_back('}');
                break;
            case Source::Form::Document:
                end_document(b, source.document, 0);
                break;
            case Source::Form::Nodes:
                if (written_ > 0) newline(b, 0);
                b.push_back(']');
                break;
            case Source::Form::Error:
                if (source.error_count > 0) write_error(b, source.errors[0], 0);
                break;
            case Source::Form::Node:
                break;
        }
        out.written();
    }

private:
    struct KeyedField {
        std::string key;  // the quoted key and the key separator
        Field field;
    };
    struct Layout {
        std::vector<KeyedField> fields;  // in the order written
        size_t children = size_t(-1);    // the position of Field::Children, if any
        std::string type_text;           // the quoted type name
    };

    std::string quoted(std::string_view s) const {
        std::string text;
        append_string(text, s, escape_);
        return text;
    }
    std::string key_text(std::string_view key) const { return quoted(key) + o_.key_separator; }

    // A line break and the indentation of `level`, when indenting.
    void newline(std::string& b, size_t level) {
        if (!o_.indent) return;
        const size_t size = 1 + level * o_.indent_text.size();
        while (newline_.size() < size) newline_.append(o_.indent_text);
        b.append(newline_.data(), size);
    }

    // [start, end], as json.dumps writes a list of two ints whose line is at `level`.
    void write_span(std::string& b, Span span, size_t level) {
        b.push_back('[');
        newline(b, level + 1);
        append_int(b, span.start);
        b.append(o_.item_separator);
        newline(b, level + 1);
        append_int(b, span.end);
        newline(b, level);
        b.push_back(']');
    }
    void write_bool(std::string& b, bool value) { b.append(value ? "true" : "false"); }
    void write_opt_text(std::string& b, const OptText& text) {
        if (text) {
            append_string(b, *text, escape_);
        } else {
            b.append("null");
        }
    }

    // The fields [from, to) of `layout`, the node's own fields at `level`; a Children field writes its key.
    void write_fields(std::string& b, NodeRef n, const Layout& layout, size_t from, size_t to, size_t level) {
        for (size_t i = from; i < to; ++i) {
            if (i > 0) b.append(o_.item_separator);
            newline(b, level);
            const KeyedField& f = layout.fields[i];
            b.append(f.key);
            switch (f.field) {
                case Field::Type:
                    b.append(layout.type_text);
                    break;
                case Field::Span:
                    write_span(b, n.span(), level);
                    break;
                case Field::Children:
                    b.push_back('[');  // the children follow, then the closing bracket
                    break;
                case Field::Level:
                    append_int(b, unsigned(n.as<Heading>().level));
                    break;
                case Field::ListKind:
                    append_string(b, name_of(kListKindNames, size_t(n.as<List>().kind)), escape_);
                    break;
                case Field::Start:
                    if (const auto& start = n.as<List>().start) {
                        append_int(b, *start);
                    } else {
                        b.append("null");
                    }
                    break;
                case Field::Lang:
                    append_string(b, n.as<CodeBlock>().lang, escape_);
                    break;
                case Field::CodeContent:
                    append_string(b, n.as<CodeBlock>().content, escape_);
                    break;
                case Field::CalloutKind:
                    append_string(b, n.as<Callout>().kind, escape_);
                    break;
                case Field::CalloutTitle:
                    write_opt_text(b, n.as<Callout>().title);
                    break;
                case Field::Src:
                    append_string(b, n.as<Figure>().src, escape_);
                    break;
                case Field::Alt:
                    append_string(b, n.as<Figure>().alt, escape_);
                    break;
                case Field::Caption:
                    write_opt_text(b, n.as<Figure>().caption);
                    break;
                case Field::Header:
                    write_bool(b, n.as<TableRow>().header);
                    break;
                case Field::DefLabel:
                    append_string(b, n.as<FootnoteDef>().label, escape_);
                    break;
                case Field::Display:
                    write_bool(b, n.as<MathBlock>().display);
                    break;
                case Field::MathContent:
                    append_string(b, n.as<MathBlock>().content, escape_);
                    break;
                case Field::HtmlContent:
                    append_string(b, n.as<HtmlBlock>().content, escape_);
                    break;
                case Field::RawContent:
                    append_string(b, n.as<RawBlock>().content, escape_);
                    break;
                case Field::InlineText:
                case Field::Url:
                    append_string(b, n.as<Inline>().text, escape_);
                    break;
                case Field::Title:
                    write_opt_text(b, n.as<Inline>().title);
                    break;
            }
        }
    }

    // A document object whose own fields are at `level` + 1, up to the opening of its blocks.
    void begin_document(std::string& b, const DocumentView& doc, size_t level) {
        b.push_back('{');
        write_document_keys(b, doc, level + 1, 0);
        b.push_back('[');
    }
    void end_document(std::string& b, const DocumentView& doc, size_t level) {
        if (written_ > 0) newline(b, level + 1);
        b.push_back(']');
        write_document_keys(b, doc, level + 1, blocks_position() + 1);
        newline(b, level);
        b.push_back('}');
    }
    size_t blocks_position() const {
        for (size_t i = 0; i < doc_keys_.size(); ++i) {
            if (doc_keys_[i].second == DocKey::Blocks) return i;
        }
        return doc_keys_.size();
    }
    // The document's keys from position `from` on, up to the key of its blocks (written, with no value).
    void write_document_keys(std::string& b, const DocumentView& doc, size_t level, size_t from) {
        for (size_t i = from; i < doc_keys_.size(); ++i) {
            if (i > 0) b.append(o_.item_separator);
            newline(b, level);
            b.append(doc_keys_[i].first);
            switch (doc_keys_[i].second) {
                case DocKey::Type:
                    append_string(b, "Document", escape_);
                    break;
                case DocKey::Profile:
                    append_string(b, name_of(kProfileNames, size_t(doc.profile)), escape_);
                    break;
                case DocKey::Modules:
                    if (doc.module_count == 0) {
                        b.append("[]");
                        break;
                    }
                    b.push_back('[');
                    for (size_t m = 0; m < doc.module_count; ++m) {
                        if (m > 0) b.append(o_.item_separator);
                        newline(b, level + 1);
                        append_string(b, name_of(kModuleNames, size_t(doc.modules[m])), escape_);
                    }
                    newline(b, level);
                    b.push_back(']');
                    break;
                case DocKey::Metadata:
                    write_metadata(b, doc.metadata, level);
                    break;
                case DocKey::Blocks:
                    return;
                case DocKey::Span:
                    write_span(b, doc.span, level);
                    break;
            }
        }
    }

    void write_error(std::string& b, const ParseError& error, size_t level) {
        b.push_back('{');
        for (size_t i = 0; i < error_keys_.size(); ++i) {
            if (i > 0) b.append(o_.item_separator);
            newline(b, level + 1);
            b.append(error_keys_[i].first);
            switch (error_keys_[i].second) {
                case ErrorKey::Message:
                    append_string(b, error.message, escape_);
                    break;
                case ErrorKey::Kind:
                    append_string(b, name_of(kErrorKindNames, size_t(error.kind)), escape_);
                    break;
                case ErrorKey::Span:
                    if (error.span) {
                        write_span(b, *error.span, level + 1);
                    } else {
                        b.append("null");
                    }
                    break;
                case ErrorKey::Recoverable:
                    write_bool(b, error.recoverable);
                    break;
            }
        }
        newline(b, level);
        b.push_back('}');
    }

    // -------------------------------------------------------------------------------------- metadata

    // The metadata as a Python dict holds it: a key that repeats keeps its first place and its last value.
    void write_metadata(std::string& b, const Metadata* metadata, size_t level) {
        if (metadata == nullptr) {
            b.append("null");
            return;
        }
        std::vector<std::pair<std::string_view, const AttrValue*>> entries;
        std::unordered_map<std::string_view, size_t> place;
        for (const MetadataEntry& e : metadata->entries) {
            const auto [it, added] = place.try_emplace(e.key, entries.size());
            if (added) {
                entries.emplace_back(e.key, &e.value);
            } else {
                entries[it->second].second = &e.value;
            }
        }
        if (entries.empty()) {
            b.append("{}");
            return;
        }
        if (o_.sort_keys) {
            // std::string_view compares bytes as unsigned: UTF-8 byte order is code point order.
            std::sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
        }
        b.push_back('{');
        for (size_t i = 0; i < entries.size(); ++i) {
            if (i > 0) b.append(o_.item_separator);
            newline(b, level + 1);
            append_string(b, entries[i].first, escape_);
            b.append(o_.key_separator);
            write_value(b, *entries[i].second, level + 1);
        }
        newline(b, level);
        b.push_back('}');
    }

    void write_scalar(std::string& b, const AttrValue& v) {
        switch (v.kind) {
            case AttrKind::String:
                append_string(b, v.string, escape_);
                break;
            case AttrKind::Bool:
                write_bool(b, v.boolean);
                break;
            case AttrKind::Int:
                append_int(b, v.integer);
                break;
            case AttrKind::Float:
                append_float(b, v.number);
                break;
            case AttrKind::List:
                break;
        }
    }

    // Whether the lists of `v` nest more than kPrettyDepth levels (`v` itself being the first).
    static bool too_deep(const AttrValue& v) {
        std::vector<std::pair<const AttrValue*, size_t>> todo{{&v, 1}};
        while (!todo.empty()) {
            const auto [list, depth] = todo.back();
            todo.pop_back();
            if (depth > kPrettyDepth) return true;
            for (const AttrValue& item : list->list) {
                if (item.kind == AttrKind::List) todo.emplace_back(&item, depth + 1);
            }
        }
        return false;
    }

    // A metadata value that starts on a line at `level`; its lists are walked with a stack of their own.
    void write_value(std::string& b, const AttrValue& v, size_t level) {
        if (v.kind != AttrKind::List) {
            write_scalar(b, v);
            return;
        }
        const bool pretty = o_.indent && !too_deep(v);
        struct Open {
            const AttrValue* list;
            size_t next;
        };
        std::vector<Open> stack;
        const auto open = [&](const AttrValue& list) {
            if (list.list.empty()) {
                b.append("[]");
            } else {
                b.push_back('[');
                stack.push_back({&list, 0});
            }
        };
        open(v);
        while (!stack.empty()) {
            Open& top = stack.back();
            if (top.next == top.list->list.size()) {
                stack.pop_back();
                if (pretty) newline(b, level + stack.size());
                b.push_back(']');
                continue;
            }
            const AttrValue& item = top.list->list[top.next++];
            if (top.next > 1) b.append(o_.item_separator);
            if (pretty) newline(b, level + stack.size());
            if (item.kind == AttrKind::List) {
                open(item);
            } else {
                write_scalar(b, item);
            }
        }
    }

    JsonOptions o_;
    const EscapeTable& escape_;
    std::string newline_;  // "\n" and as many indentations as the deepest line so far
    std::array<Layout, kNodeTypeCount> layouts_;
    std::vector<std::pair<std::string, DocKey>> doc_keys_;
    std::vector<std::pair<std::string, ErrorKey>> error_keys_;
    std::string document_key_;
    std::string errors_key_;
    Source::Form form_ = Source::Form::Document;
    size_t top_level_ = 0;  // the indentation level of the top-level nodes
    size_t written_ = 0;    // the top-level nodes written so far
};

}  // namespace

std::unique_ptr<Writer> make_json_writer(const JsonOptions& options) {
    return std::make_unique<JsonWriter>(options);
}

}  // namespace quillet::writers
