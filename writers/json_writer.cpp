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

#include "quillet/aligned_blocks.hpp"

#include "formats.hpp"
#include "quillet/utf8.hpp"

namespace quillet::writers {
namespace {

// Metadata lists nested deeper than this are written on one line even with indentation: indenting them
// would take space growing with the square of the depth (the Python export's PRETTY_DEPTH).
constexpr size_t kPrettyDepth = 100;

// ------------------------------------------------------------------------------------------- output

// Where the writer's bytes gather before they go to the Output in blocks: a small buffer that stays in the
// cache, written through a pointer, so that the many short pieces of a node cost a copy each and no more.
class Stage {
public:
    static constexpr size_t kSize = 1 << 16;

    Stage() : data_(new char[kSize]), p_(data_.get()), limit_(data_.get() + kSize) {}

    void attach(Output& out) { out_ = &out; }
    // Starts a write: drops whatever an earlier write that failed half-way left behind.
    void start(Output& out) {
        out_ = &out;
        p_ = data_.get();
    }

    // Makes room for `n` bytes (a few dozen at most; longer texts go through text()), which put() and the
    // pointer may then write.
    void room(size_t n) {
        if (size_t(limit_ - p_) < n) flush();
    }
    void put(char c) { *p_++ = c; }
    // Where the next byte goes: a caller that has made room writes through it and moves it on.
    char*& pointer() { return p_; }

    void text(const char* s, size_t n) {
        if (size_t(limit_ - p_) >= n) {
            copy(s, n);
        } else {
            text_after_flush(s, n);
        }
    }
    void text(std::string_view s) { text(s.data(), s.size()); }
    void one(char c) {
        room(1);
        put(c);
    }

    // Hands what has gathered to the Output.
    [[gnu::noinline]] void flush() {
        if (p_ == data_.get()) return;
        out_->buffer().append(data_.get(), size_t(p_ - data_.get()));
        p_ = data_.get();
        out_->written();
    }

private:
    // The rare case, kept out of line so that text() stays small enough to inline.
    [[gnu::noinline]] void text_after_flush(const char* s, size_t n) {
        flush();
        if (n > kSize / 2) {
            out_->buffer().append(s, n);
            out_->written();
            return;
        }
        copy(s, n);
    }

    // Most pieces are a few bytes long: copied inline (as two overlapping words) rather than by a call.
    void copy(const char* s, size_t n) {
        if (n >= 8 && n <= 16) {
            std::memcpy(p_, s, 8);
            std::memcpy(p_ + n - 8, s + n - 8, 8);
        } else if (n >= 4 && n < 8) {
            std::memcpy(p_, s, 4);
            std::memcpy(p_ + n - 4, s + n - 4, 4);
        } else if (n < 4) {
            for (size_t i = 0; i < n; ++i) p_[i] = s[i];
        } else {
            std::memcpy(p_, s, n);
        }
        p_ += n;
    }

    std::unique_ptr<char[]> data_;
    char* p_;
    char* limit_;
    Output* out_ = nullptr;
};

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

char* put_u(char* p, uint32_t unit) {
    p[0] = '\\';
    p[1] = 'u';
    p[2] = kHex[(unit >> 12) & 0xf];
    p[3] = kHex[(unit >> 8) & 0xf];
    p[4] = kHex[(unit >> 4) & 0xf];
    p[5] = kHex[unit & 0xf];
    return p + 6;
}

#if QUILLET_ALIGNED_BLOCKS
// One bit per byte of the aligned 16-byte block: set where the byte needs an escape.
inline unsigned escape_mask(const char* block, bool ascii) {
    const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(block));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\')));
    if (ascii) {
        // As signed bytes, the controls and every byte >= 0x80 are below the space.
        hit = _mm_or_si128(
            hit, _mm_or_si128(_mm_cmplt_epi8(x, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7f))));
    } else {
        const __m128i below_space = _mm_set1_epi8(0x1f);
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_min_epu8(x, below_space), x));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}
#endif

// The first byte of [p, end) that needs an escape, or end.
const char* find_escape(const char* p, const char* end, const EscapeTable& table, bool ascii) {
    if (p >= end) return end;
#if QUILLET_ALIGNED_BLOCKS
    // Reads whole aligned 16-byte blocks, the first and last of which may reach outside the text; an aligned
    // block never crosses a page, so this cannot fault, and bytes outside the text are masked off or lie
    // past the end. A short text costs one block, not a byte loop.
    (void)table;
    const auto start = reinterpret_cast<uintptr_t>(p);
    const char* block = reinterpret_cast<const char*>(start & ~uintptr_t{15});
    unsigned mask = escape_mask(block, ascii) & (~0u << (start & 15));
    for (;;) {
        if (mask != 0) {
            const char* hit = block + __builtin_ctz(mask);
            return hit < end ? hit : end;
        }
        block += 16;
        if (block >= end) return end;
        mask = escape_mask(block, ascii);
    }
#else
    (void)ascii;
    while (p < end && table[static_cast<unsigned char>(*p)] == 0) ++p;
    return p;
#endif
}

// `s` as a JSON string: runs of bytes that need no escape are copied whole.
void put_string(Stage& st, std::string_view s, const EscapeTable& table, bool ascii) {
    const char* p = s.data();
    const char* const end = p + s.size();
    st.one('"');
    while (true) {
        const char* run = find_escape(p, end, table, ascii);
        st.text(p, size_t(run - p));
        if (run == end) break;
        p = run;
        const char e = table[static_cast<unsigned char>(*p)];
        st.room(12);
        char*& w = st.pointer();
        if (e == 'U') {
            // A lone surrogate, which a caller's text may hold, is one \uXXXX, as json.dumps writes it.
            size_t length = 0;
            uint32_t cp = read_utf8(reinterpret_cast<const unsigned char*>(p), size_t(end - p), length);
            p += length;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                w = put_u(w, 0xd800 | (cp >> 10));
                w = put_u(w, 0xdc00 | (cp & 0x3ff));
            } else {
                w = put_u(w, cp);
            }
        } else {
            if (e == 'u') {
                w = put_u(w, static_cast<unsigned char>(*p));
            } else {
                w[0] = '\\';
                w[1] = e;
                w += 2;
            }
            ++p;
        }
    }
    st.one('"');
}

// ------------------------------------------------------------------------------------------- numbers

template <class Int>
void put_int(Stage& st, Int value) {
    st.room(24);
    char*& w = st.pointer();
    w = std::to_chars(w, w + 24, value).ptr;
}

// The digits of 0..99, two by two.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// A span offset, at `w` (which has room for 10 digits); the end of what was written. Faster than to_chars
// for the two numbers of every node.
char* put_offset(char* w, uint32_t value) {
    const size_t n = value < 10           ? 1
                     : value < 100        ? 2
                     : value < 1000       ? 3
                     : value < 10000      ? 4
                     : value < 100000     ? 5
                     : value < 1000000    ? 6
                     : value < 10000000   ? 7
                     : value < 100000000  ? 8
                     : value < 1000000000 ? 9
                                          : 10;
    char* d = w + n;
    while (value >= 100) {
        d -= 2;
        std::memcpy(d, kDigitPairs + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        std::memcpy(d - 2, kDigitPairs + 2 * value, 2);
    } else {
        d[-1] = char('0' + value);
    }
    return w + n;
}

// A finite float as Python's repr writes it: the shortest digits that read back to the same value, in
// positional form when the decimal point falls within 16 digits of them (with ".0" when there is no
// fraction), otherwise as d.ddde+XX.
void put_float(Stage& st, double value) {
    if (!std::isfinite(value)) {
        // The export has no non-finite numbers: standard JSON cannot write them.
        st.text("null");
        return;
    }
    char text[40];
    const auto r = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    const char* p = text;
    st.room(40);
    char*& w = st.pointer();
    if (*p == '-') {
        *w++ = '-';
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
    const auto copy = [&](const char* from, size_t count) {
        std::memcpy(w, from, count);
        w += count;
    };
    if (point <= -4 || point > 16) {
        *w++ = digits[0];
        if (n > 1) {
            *w++ = '.';
            copy(digits + 1, n - 1);
        }
        copy(exponent < 0 ? "e-" : "e+", 2);
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) *w++ = '0';
        w = std::to_chars(w, w + 4, magnitude).ptr;
    } else if (point <= 0) {
        copy("0.", 2);
        w = std::fill_n(w, -point, '0');
        copy(digits, n);
    } else if (size_t(point) >= n) {
        copy(digits, n);
        w = std::fill_n(w, size_t(point) - n, '0');
        copy(".0", 2);
    } else {
        copy(digits, size_t(point));
        *w++ = '.';
        copy(digits + point, n - size_t(point));
    }
}

// ------------------------------------------------------------------------------------------- node fields

// What a step writes of a node: a field of its class (the FieldType's own value; for a text, its place
// among the class's texts), its "type" or its "span".
enum class Field : uint8_t { Children, Text, OptText, Level, Kind, Start, Flag, Type, Span };
static_assert(uint8_t(Field::Flag) == uint8_t(FieldType::Flag) && uint8_t(Field::Children) == 0);

constexpr Field field_of(FieldType type) {
    return Field(uint8_t(type));
}

struct FieldName {
    std::string_view key;
    Field field;
    uint8_t place = 0;  // a text's place among its class's texts
};

// The keys of a document, of a parse result's error, in declaration order.
enum class DocKey : uint8_t { Type, Profile, Modules, Metadata, Blocks, Span };
enum class ErrorKey : uint8_t { Message, Kind, Span, Recoverable };

// One step of writing a node: a constant text, a line break, a field's value, or the line break before the
// closing bracket of the node's children when it has any.
enum class Op : uint8_t { Text, Newline, Value, CloseChildren };
struct Piece {
    Op op;
    Field field;      // Value
    uint32_t offset;  // Text: where the text starts in JsonWriter::texts_; Newline: levels below the node's;
                      // Value: a text's place among its class's texts
    uint32_t size;    // Text
};

// What the writer writes of a node on entering it and on leaving it.
struct Program {
    std::vector<Piece> enter;
    std::vector<Piece> leave;
};

// -------------------------------------------------------------------------------------------- the writer

class JsonWriter final : public Writer {
public:
    explicit JsonWriter(const JsonOptions& options)
        : o_(options), escape_(options.ensure_ascii ? kEscapeAscii : kEscapeUtf8), newline_("\n") {
        for (size_t t = 0; t < kNodeTypeCount; ++t) build_program(NodeType(t));
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
        st_.start(out);
        written_ = 0;
        form_ = source.form;
        switch (source.form) {
            case Source::Form::Result:
                // {"document": {...}, "errors": [...]}: the document's fields at level 2, its blocks at 3.
                reserve(out, source.document.span);
                st_.one('{');
                newline(1);
                st_.text(document_key_);
                begin_document(source.document, 1);
                top_level_ = 3;
                break;
            case Source::Form::Document:
                reserve(out, source.document.span);
                begin_document(source.document, 0);
                top_level_ = 2;
                break;
            case Source::Form::Nodes:
                st_.one('[');
                top_level_ = 1;
                break;
            case Source::Form::Node:
            case Source::Form::Error:
                top_level_ = 0;
                break;
        }
        st_.flush();
    }

    void node(NodeRef top, size_t index, Output& out) override {
        st_.attach(out);
        Walker walk(top);
        while (walk.next()) {
            const NodeRef n = walk.node();
            const size_t depth = walk.depth();
            const size_t level = top_level_ + 2 * depth;
            const Program& program = programs_[size_t(n.type)];
            if (walk.event() == Event::Enter) {
                if ((depth == 0 ? index : walk.index()) > 0) st_.text(o_.item_separator);
                if (depth > 0 || form_ != Source::Form::Node) newline(level);
                run(program.enter, n, level);
            } else {
                run(program.leave, n, level);
            }
        }
        ++written_;
        st_.flush();
    }

    void end(const Source& source, Output& out) override {
        st_.attach(out);
        switch (source.form) {
            case Source::Form::Result:
                end_document(source.document, 1);
                st_.text(o_.item_separator);
                newline(1);
                st_.text(errors_key_);
                if (source.error_count == 0) {
                    st_.text("[]");
                } else {
                    st_.one('[');
                    for (size_t i = 0; i < source.error_count; ++i) {
                        if (i > 0) st_.text(o_.item_separator);
                        newline(2);
                        write_error(source.errors[i], 2);
                    }
                    newline(1);
                    st_.one(']');
                }
                newline(0);
                st_.one('}');
                break;
            case Source::Form::Document:
                end_document(source.document, 0);
                break;
            case Source::Form::Nodes:
                if (written_ > 0) newline(0);
                st_.one(']');
                break;
            case Source::Form::Error:
                if (source.error_count > 0) write_error(source.errors[0], 0);
                break;
            case Source::Form::Node:
                break;
        }
        st_.flush();
    }

private:
    // Keys and type names are ASCII letters: nothing in them needs an escape.
    static std::string quoted(std::string_view s) { return '"' + std::string(s) + '"'; }
    std::string key_text(std::string_view key) const { return quoted(key) + o_.key_separator; }

    void reserve(Output& out, Span span) { out.reserve((o_.indent ? kIndentedJsonSize : kJsonSize)(span.end)); }

    // ------------------------------------------------------------------------------------- nodes

    // The steps of writing a node of type `t`, its constant texts joined wherever nothing comes between.
    void build_program(NodeType type) {
        std::vector<FieldName> fields;
        fields.push_back({"type", Field::Type});
        uint8_t texts = 0;
        for (const FieldInfo& f : node_info(type)) {
            fields.push_back({f.name, field_of(f.type), f.is_text() ? texts++ : uint8_t(0)});
        }
        fields.push_back({"span", Field::Span});
        if (o_.sort_keys) {
            std::sort(fields.begin(), fields.end(),
                      [](const FieldName& a, const FieldName& b) { return a.key < b.key; });
        }
        Program& program = programs_[size_t(type)];
        std::vector<Piece>* steps = &program.enter;
        const auto text = [&](std::string_view s) {
            if (!steps->empty() && steps->back().op == Op::Text &&
                steps->back().offset + steps->back().size == texts_.size()) {
                steps->back().size += uint32_t(s.size());
            } else {
                steps->push_back({Op::Text, Field::Type, uint32_t(texts_.size()), uint32_t(s.size())});
            }
            texts_.append(s);
        };
        const auto newline_below = [&](uint32_t levels) {
            if (o_.indent) steps->push_back({Op::Newline, Field::Type, levels, 0});
        };
        text("{");
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i > 0) text(o_.item_separator);
            newline_below(1);
            text(key_text(fields[i].key));
            switch (fields[i].field) {
                case Field::Type:
                    text(quoted(type_name(type)));
                    break;
                case Field::Children:
                    text("[");
                    steps = &program.leave;
                    if (o_.indent) steps->push_back({Op::CloseChildren, Field::Type, 0, 0});
                    text("]");
                    break;
                default:
                    steps->push_back({Op::Value, fields[i].field, fields[i].place, 0});
                    break;
            }
        }
        newline_below(0);
        text("}");
    }

    // The steps of `steps` for the node `n` whose line is at `level`.
    void run(const std::vector<Piece>& steps, NodeRef n, size_t level) {
        for (const Piece& piece : steps) {
            switch (piece.op) {
                case Op::Text:
                    st_.text(texts_.data() + piece.offset, piece.size);
                    break;
                case Op::Newline:
                    newline(level + piece.offset);
                    break;
                case Op::Value:
                    write_field(n, piece.field, piece.offset, level + 1);
                    break;
                case Op::CloseChildren:
                    if (child_count(n) > 0) newline(level + 1);
                    break;
            }
        }
    }

    void write_string(std::string_view s) { put_string(st_, s, escape_, o_.ensure_ascii); }
    void write_bool(bool value) { st_.text(value ? std::string_view("true") : std::string_view("false")); }
    void write_opt_text(const OptText& text) {
        if (text) {
            write_string(*text);
        } else {
            st_.text("null");
        }
    }

    // A line break and the indentation of `level`, when indenting.
    void newline(size_t level) {
        if (!o_.indent) return;
        const size_t size = 1 + level * o_.indent_text.size();
        while (newline_.size() < size) newline_.append(o_.indent_text);
        st_.text(newline_.data(), size);
    }

    // [start, end], as json.dumps writes a list of two ints whose line is at `level`.
    void write_span(Span span, size_t level) {
        if (!o_.indent && o_.item_separator.size() <= 8) {
            st_.room(30);
            char*& w = st_.pointer();
            *w++ = '[';
            w = put_offset(w, span.start);
            std::memcpy(w, o_.item_separator.data(), o_.item_separator.size());
            w += o_.item_separator.size();
            w = put_offset(w, span.end);
            *w++ = ']';
            return;
        }
        st_.one('[');
        newline(level + 1);
        put_int(st_, span.start);
        st_.text(o_.item_separator);
        newline(level + 1);
        put_int(st_, span.end);
        newline(level);
        st_.one(']');
    }

    // The value of one field of `n` (a text: the one at `place`), whose line is at `level`.
    void write_field(NodeRef n, Field field, size_t place, size_t level) {
        switch (field) {
            case Field::Type:
            case Field::Children:
                break;  // written by the program
            case Field::Span:
                write_span(n.span(), level);
                break;
            case Field::Text:
                write_string(text_at(n, place).value_or(""));
                break;
            case Field::OptText:
                write_opt_text(text_at(n, place));
                break;
            case Field::Level:
                put_int(st_, unsigned(scalar_of<uint8_t>(n)));
                break;
            case Field::Kind:
                write_string(name_at(kListKindMembers, size_t(scalar_of<ListKind>(n))));
                break;
            case Field::Start:
                if (const auto start = scalar_of<std::optional<uint64_t>>(n)) {
                    put_int(st_, *start);
                } else {
                    st_.text("null");
                }
                break;
            case Field::Flag:
                write_bool(scalar_of<bool>(n));
                break;
        }
    }

    // ---------------------------------------------------------------------------- documents, errors

    // A document object whose own fields are at `level` + 1, up to the opening of its blocks.
    void begin_document(const DocumentView& doc, size_t level) {
        st_.one('{');
        write_document_keys(doc, level + 1, 0);
        st_.one('[');
    }
    void end_document(const DocumentView& doc, size_t level) {
        if (written_ > 0) newline(level + 1);
        st_.one(']');
        write_document_keys(doc, level + 1, blocks_position() + 1);
        newline(level);
        st_.one('}');
    }
    size_t blocks_position() const {
        for (size_t i = 0; i < doc_keys_.size(); ++i) {
            if (doc_keys_[i].second == DocKey::Blocks) return i;
        }
        return doc_keys_.size();
    }
    // The document's keys from position `from` on, up to the key of its blocks (written, with no value).
    void write_document_keys(const DocumentView& doc, size_t level, size_t from) {
        for (size_t i = from; i < doc_keys_.size(); ++i) {
            if (i > 0) st_.text(o_.item_separator);
            newline(level);
            st_.text(doc_keys_[i].first);
            switch (doc_keys_[i].second) {
                case DocKey::Type:
                    write_string("Document");
                    break;
                case DocKey::Profile:
                    write_string(name_at(kProfileMembers, size_t(doc.profile)));
                    break;
                case DocKey::Modules:
                    if (doc.module_count == 0) {
                        st_.text("[]");
                        break;
                    }
                    st_.one('[');
                    for (size_t m = 0; m < doc.module_count; ++m) {
                        if (m > 0) st_.text(o_.item_separator);
                        newline(level + 1);
                        write_string(name_at(kModuleKindMembers, size_t(doc.modules[m])));
                    }
                    newline(level);
                    st_.one(']');
                    break;
                case DocKey::Metadata:
                    write_metadata(doc.metadata, level);
                    break;
                case DocKey::Blocks:
                    return;
                case DocKey::Span:
                    write_span(doc.span, level);
                    break;
            }
        }
    }

    void write_error(const ParseError& error, size_t level) {
        st_.one('{');
        for (size_t i = 0; i < error_keys_.size(); ++i) {
            if (i > 0) st_.text(o_.item_separator);
            newline(level + 1);
            st_.text(error_keys_[i].first);
            switch (error_keys_[i].second) {
                case ErrorKey::Message:
                    write_string(error.message);
                    break;
                case ErrorKey::Kind:
                    write_string(name_at(kParseErrorKindMembers, size_t(error.kind)));
                    break;
                case ErrorKey::Span:
                    if (error.span) {
                        write_span(*error.span, level + 1);
                    } else {
                        st_.text("null");
                    }
                    break;
                case ErrorKey::Recoverable:
                    write_bool(error.recoverable);
                    break;
            }
        }
        newline(level);
        st_.one('}');
    }

    // -------------------------------------------------------------------------------------- metadata

    // The metadata as a Python dict holds it: a key that repeats keeps its first place and its last value.
    void write_metadata(const Metadata* metadata, size_t level) {
        if (metadata == nullptr) {
            st_.text("null");
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
            st_.text("{}");
            return;
        }
        if (o_.sort_keys) {
            // std::string_view compares bytes as unsigned: UTF-8 byte order is code point order.
            std::sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
        }
        st_.one('{');
        for (size_t i = 0; i < entries.size(); ++i) {
            if (i > 0) st_.text(o_.item_separator);
            newline(level + 1);
            write_string(entries[i].first);
            st_.text(o_.key_separator);
            write_value(*entries[i].second, level + 1);
        }
        newline(level);
        st_.one('}');
    }

    void write_scalar(const AttrValue& v) {
        switch (v.kind) {
            case AttrKind::String:
                write_string(v.string);
                break;
            case AttrKind::Bool:
                write_bool(v.boolean);
                break;
            case AttrKind::Int:
                put_int(st_, v.integer);
                break;
            case AttrKind::Float:
                put_float(st_, v.number);
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
    void write_value(const AttrValue& v, size_t level) {
        if (v.kind != AttrKind::List) {
            write_scalar(v);
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
                st_.text("[]");
            } else {
                st_.one('[');
                stack.push_back({&list, 0});
            }
        };
        open(v);
        while (!stack.empty()) {
            Open& top = stack.back();
            if (top.next == top.list->list.size()) {
                stack.pop_back();
                if (pretty) newline(level + stack.size());
                st_.one(']');
                continue;
            }
            const AttrValue& item = top.list->list[top.next++];
            if (top.next > 1) st_.text(o_.item_separator);
            if (pretty) newline(level + stack.size());
            if (item.kind == AttrKind::List) {
                open(item);
            } else {
                write_scalar(item);
            }
        }
    }

    JsonOptions o_;
    const EscapeTable& escape_;
    Stage st_;
    std::string newline_;  // "\n" and as many indentations as the deepest line so far
    std::string texts_;    // the constant texts of the programs
    std::array<Program, kNodeTypeCount> programs_;
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
