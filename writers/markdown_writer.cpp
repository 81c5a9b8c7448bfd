// Markdown: CommonMark with the table, strikethrough, footnote and alert extensions.
//
// The tree is written with one walk (enter and leave events) and two stacks: the line prefixes of the open
// containers ("> ", "- " then "  ", "[^x]: " then "    ") and the open inline delimiters. Nothing recurses.
//
// Text is escaped so that a reader finds the same words and nothing else: no emphasis, heading, list item,
// table, HTML, entity, link, code span, thematic break or setext underline that the tree does not hold.
// Inline delimiters are written lazily: an opener goes out only with the first visible character of its
// content, and white space at either end of the content is moved outside the delimiters, so that every
// delimiter run can open or close where it stands. Where a neighbouring character would still stop a run
// from opening or closing, that character is written as a numeric character reference.
//
// Each top-level node is written into a buffer of its own and handed to the Output when it is done; the
// only state kept between top-level nodes is what separates and distinguishes blocks.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "formats.hpp"
#include "quillet/utf8.hpp"
#include "text_util.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillet::writers {
namespace {

// CommonMark ordered list markers hold at most nine digits: a longer number would not start an item.
constexpr uint64_t kMaxListNumber = 999'999'999;

// ------------------------------------------------------------------------------------ characters

enum class Cls : uint8_t {
    Space,  // Unicode white space: never next to the inside of a delimiter
    Punct,  // ASCII punctuation
    Word,   // a letter, digit or other character that is surely not punctuation
    Other,  // not ASCII and not known: treated as punctuation or as a letter, whichever is worse
};

bool is_ascii_punct(unsigned char c) {
    return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

bool is_unicode_space(uint32_t cp) {
    return cp == 0x20 || cp == 0x09 || cp == 0x0A || cp == 0x0C || cp == 0x0D || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Scripts whose letters are common in prose; everything else not ASCII is Other.
bool is_known_letter(uint32_t cp) {
    return (cp >= 0xC0 && cp <= 0x24F && cp != 0xD7 && cp != 0xF7) || (cp >= 0x386 && cp <= 0x3FF && cp != 0x387) ||
           (cp >= 0x400 && cp <= 0x481) || (cp >= 0x48A && cp <= 0x52F) || (cp >= 0x3041 && cp <= 0x3096) ||
           (cp >= 0x30A1 && cp <= 0x30FA) || (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xAC00 && cp <= 0xD7A3);
}

Cls classify(uint32_t cp) {
    if (is_unicode_space(cp)) return Cls::Space;
    if (cp < 0x80) return is_ascii_punct(static_cast<unsigned char>(cp)) ? Cls::Punct : Cls::Word;
    return is_known_letter(cp) ? Cls::Word : Cls::Other;
}

bool maybe_punct(Cls c) {
    return c == Cls::Punct || c == Cls::Other;
}
bool maybe_word(Cls c) {
    return c == Cls::Word || c == Cls::Other;
}

// "&name;", "&#123;" or "&#x1F;" at s[i] (a '&'), or text that ends before telling: a reader might decode it.
bool entity_like(std::string_view s, size_t i) {
    size_t j = i + 1;
    if (j < s.size() && s[j] == '#') {
        ++j;
        if (j < s.size() && (s[j] == 'x' || s[j] == 'X')) ++j;
    }
    const size_t digits = j;
    while (j < s.size() && std::isalnum(static_cast<unsigned char>(s[j]))) ++j;
    if (j == s.size()) return true;
    return j > digits && s[j] == ';';
}

// Readers refuse character references to control characters; next to a delimiter run that needs punctuation
// beside it, such a character gets an empty HTML comment between them instead.
constexpr std::string_view kEmptyComment = "<!---->";

bool is_control(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

void append_char_ref(std::string& out, uint32_t cp) {
    char digits[16];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, cp);
    (void)ec;
    out += "&#";
    out.append(digits, end);
    out += ';';
}

// The bytes that end a plain run of text, right after a visible character has been written (what matters
// only at a line start, or after a footnote reference, is looked at with the first character): controls
// (line breaks and tabs among them), "!"#$%&", '*', '<', "[\]^_`", "|}~", and the lead bytes of the
// Unicode spaces other than U+0020 (0xC2, 0xE1 to 0xE3). A space does not end a run.
constexpr bool stops_run(unsigned char c) {
    return c < 0x20 || (c >= 0x21 && c <= 0x26) || c == '*' || c == '<' || (c >= 0x5B && c <= 0x60) ||
           (c >= 0x7C && c <= 0x7E) || c == 0xC2 || (c >= 0xE1 && c <= 0xE3);
}

struct StopTable {
    bool v[256] = {};
    constexpr StopTable() {
        for (int c = 0; c < 256; ++c) v[c] = stops_run(static_cast<unsigned char>(c));
    }
};
constexpr StopTable kStops;

// Where the plain run of t from i ends: the first byte that stops_run, or the end.
size_t plain_run_end(std::string_view t, size_t i) {
    const size_t n = t.size();
#if defined(__SSE2__)
    const __m128i below_space = _mm_set1_epi8(0x1F);
    auto in_range = [](__m128i v, char lo, char span) {
        const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8(lo));
        return _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(span)), d);
    };
    while (i + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data() + i));
        __m128i m = _mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v);
        m = _mm_or_si128(m, in_range(v, 0x21, 5));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('*')));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('<')));
        m = _mm_or_si128(m, in_range(v, 0x5B, 5));
        m = _mm_or_si128(m, in_range(v, 0x7C, 2));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xC2))));
        m = _mm_or_si128(m, in_range(v, static_cast<char>(0xE1), 2));
        if (const int mask = _mm_movemask_epi8(m); mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
        i += 16;
    }
#endif
    while (i < n && !kStops.v[static_cast<unsigned char>(t[i])]) ++i;
    return i;
}

// A footnote label as the extension reads it: no white space, brackets or anything a reader might fold or
// take apart, nor a '_' or '*' that could make emphasis where the label is read as text (no definition).
// Letters, digits, '-' and '.' stay; any other byte is '+' and two hex digits; the empty label is "+".
// Distinct labels stay distinct.
std::string safe_label(std::string_view label) {
    if (label.empty()) return "+";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(label.size());
    for (unsigned char c : label) {
        if (std::isalnum(c) || c == '-' || c == '.') {
            out += static_cast<char>(c);
        } else {
            out += '+';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

constexpr std::string_view kAlertKinds[] = {"NOTE", "TIP", "IMPORTANT", "WARNING", "CAUTION"};

// The alert name of a callout kind (case-insensitive), or empty.
std::string_view alert_kind(std::string_view kind) {
    for (std::string_view alert : kAlertKinds) {
        if (alert.size() == kind.size() && std::equal(alert.begin(), alert.end(), kind.begin(), [](char a, char k) {
                return a == std::toupper(static_cast<unsigned char>(k));
            })) {
            return alert;
        }
    }
    return {};
}

// A URI autolink as every reader takes it: a scheme of 2 to 32 characters, then no space, control, angle
// bracket, or the '&' and '\' that readers treat differently inside one.
bool plain_autolink(std::string_view url) {
    size_t i = 0;
    if (url.empty() || !std::isalpha(static_cast<unsigned char>(url[0]))) return false;
    while (i < url.size() &&
           (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '+' || url[i] == '.' || url[i] == '-')) {
        ++i;
    }
    if (i < 2 || i > 32 || i == url.size() || url[i] != ':') return false;
    for (unsigned char c : url) {
        if (c <= 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&' || c == '\\') return false;
    }
    return true;
}

// The line breaks of a text, '\n' and '\r' alike, found with memchr and handed out in order.
class LineBreaks {
public:
    explicit LineBreaks(std::string_view s) : s_(s), lf_(find('\n', 0)), cr_(find('\r', 0)) {}

    // The first '\n' or '\r' at or after i, or the end.
    size_t next(size_t i) {
        if (lf_ < i) lf_ = find('\n', i);
        if (cr_ < i) cr_ = find('\r', i);
        return std::min(lf_, cr_);
    }

private:
    size_t find(char c, size_t i) const {
        if (i >= s_.size()) return s_.size();
        const void* at = std::memchr(s_.data() + i, c, s_.size() - i);
        return at == nullptr ? s_.size() : static_cast<size_t>(static_cast<const char*>(at) - s_.data());
    }

    std::string_view s_;
    size_t lf_;
    size_t cr_;
};

// ------------------------------------------------------------------------------------ YAML

void yaml_string(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '"';
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        size_t len = 1;
        const uint32_t cp = read_utf8(s, i, len);
        if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            out += "\\x";
            out += kHex[cp >> 4];
            out += kHex[cp & 15];
        } else if (cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF || cp == 0xFFFE || cp == 0xFFFF) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 15];
        } else {
            out.append(s.substr(i, len));
        }
        i += len;
    }
    out += '"';
}

// A key is written plain when no YAML reader could take it for anything but that string.
void yaml_key(std::string& out, std::string_view key) {
    static constexpr std::string_view kWords[] = {"y", "n", "yes", "no", "on", "off", "true", "false", "null"};
    bool plain = !key.empty() && (std::isalpha(static_cast<unsigned char>(key[0])) || key[0] == '_');
    for (unsigned char c : key) plain = plain && (std::isalnum(c) || c == '_' || c == '-');
    for (std::string_view word : kWords) {
        plain = plain &&
                !(word.size() == key.size() && std::equal(word.begin(), word.end(), key.begin(), [](char w, char k) {
                      return w == std::tolower(static_cast<unsigned char>(k));
                  }));
    }
    if (plain) {
        out += key;
    } else {
        yaml_string(out, key);
    }
}

// A float that every YAML reader reads back as the same float: the shortest digits, always with a '.' in
// the mantissa and a signed exponent (YAML 1.1 resolvers want both).
void yaml_float(std::string& out, double d) {
    if (std::isnan(d)) {
        out += ".nan";
        return;
    }
    if (std::isinf(d)) {
        out += d < 0 ? "-.inf" : ".inf";
        return;
    }
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    (void)ec;
    std::string_view text(buf, static_cast<size_t>(end - buf));
    const size_t e = text.find('e');
    std::string_view mantissa = text.substr(0, e);
    out += mantissa;
    if (mantissa.find('.') == std::string_view::npos) out += ".0";
    if (e != std::string_view::npos) {
        out += 'e';
        std::string_view exponent = text.substr(e + 1);
        if (exponent[0] != '-' && exponent[0] != '+') out += '+';
        out += exponent;
    }
}

// Writes a value; lists nest to any depth, so they are walked with a stack of open lists.
void yaml_value(std::string& out, const AttrValue& root) {
    struct Open {
        const AttrValue* list;
        size_t next;
    };
    std::vector<Open> stack;
    const AttrValue* value = &root;
    for (;;) {
        if (value != nullptr) {
            switch (value->kind) {
                case AttrKind::String:
                    yaml_string(out, value->string);
                    break;
                case AttrKind::Bool:
                    out += value->boolean ? "true" : "false";
                    break;
                case AttrKind::Int: {
                    char buf[24];
                    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value->integer);
                    (void)ec;
                    out.append(buf, end);
                    break;
                }
                case AttrKind::Float:
                    yaml_float(out, value->number);
                    break;
                case AttrKind::List:
                    out += '[';
                    stack.push_back(Open{value, 0});
                    break;
            }
        }
        if (stack.empty()) return;
        Open& top = stack.back();
        if (top.next < top.list->list.size()) {
            if (top.next > 0) out += ", ";
            value = &top.list->list[top.next++];
        } else {
            out += ']';
            stack.pop_back();
            value = nullptr;
            if (stack.empty()) return;
        }
    }
}

// ------------------------------------------------------------------------------------ the writer

class MarkdownWriter final : public Writer {
public:
    // The writer appends to the Output's own buffer, taken for the call (a swap, no copy), and lets it spill
    // only between blocks: the character before the write position is looked at, and at times rewritten.
    void begin(const Source& source, Output& out) override {
        reset();  // a writer may be used for one write after another
        const bool document = source.form == Source::Form::Result || source.form == Source::Form::Document;
        if (document) out.reserve(kMarkdownSize(source.document.span.len()));
        if (document && source.document.metadata != nullptr) {
            buf_.swap(out.buffer());
            front_matter(*source.document.metadata);
            buf_.swap(out.buffer());
            out.written();
        }
    }

    void node(NodeRef top, size_t, Output& out) override {
        buf_.swap(out.buffer());
        write_node(top);
        buf_.swap(out.buffer());
        if (!inline_.active) out.written();
    }

    void end(const Source&, Output& out) override {
        buf_.swap(out.buffer());
        if (inline_.active) finish_inline();
        buf_.swap(out.buffer());
        out.written();
    }

private:
    void reset() {
        frames_.assign(1, Frame{});
        lists_.clear();
        table_ = TableState{};
        inline_.active = false;
        previous_list_ = 0;
        item_depth_ = 0;
        line_start_ = true;
        any_output_ = false;
    }

    // ------------------------------------------------------------------ lines and containers

    // An open container: what its lines start with.
    struct Frame {
        std::string first;     // the first line's prefix ("- ", "> ", "[^x]: ")
        std::string rest;      // every later line's ("  ", "> ", "    ")
        bool started = false;  // its first line has been written
        size_t blocks = 0;     // blocks written in it so far
        char last_list = 0;    // the marker of the list just written in it, if the last block was one
    };

    // A line's prefix: each open container's, outermost first.
    void begin_line() {
        for (size_t i = 1; i < frames_.size(); ++i) {
            Frame& f = frames_[i];
            buf_ += f.started ? f.rest : f.first;
            f.started = true;
        }
        any_output_ = true;
        line_start_ = true;
    }

    void end_line() { buf_ += '\n'; }

    void blank_line() {
        const size_t at = buf_.size();
        for (size_t i = 1; i < frames_.size(); ++i) buf_ += frames_[i].rest;
        while (buf_.size() > at && (buf_.back() == ' ' || buf_.back() == '\t')) buf_.pop_back();
        buf_ += '\n';
    }

    // A block of the innermost container starts: a blank line separates it from the one before.
    void block_begin() {
        Frame& f = frames_.back();
        if (f.blocks > 0) blank_line();
        ++f.blocks;
        previous_list_ = f.last_list;
        f.last_list = 0;
    }

    void push_frame(std::string first, std::string rest) {
        frames_.push_back(Frame{std::move(first), std::move(rest)});
    }

    // Closes a container; one that wrote nothing still writes its marker, so that it is not lost.
    void pop_frame() {
        if (!frames_.back().started) {
            const size_t at = buf_.size();
            begin_line();
            while (buf_.size() > at && buf_.back() == ' ') buf_.pop_back();
            end_line();
        }
        frames_.pop_back();
    }

    // Lines of verbatim content, each behind the containers' prefixes; "\r\n", "\n" and "\r" all end a line,
    // as they do for a reader.
    void verbatim_lines(std::string_view content) {
        if (content.empty()) return;
        LineBreaks breaks(content);
        size_t i = 0;
        for (;;) {
            const size_t j = breaks.next(i);
            begin_line();
            buf_.append(content.substr(i, j - i));
            end_line();
            if (j == content.size()) return;
            i = j + ((content[j] == '\r' && j + 1 < content.size() && content[j + 1] == '\n') ? 2 : 1);
        }
    }

    void fenced(std::string_view info, std::string_view content) {
        char fence_char = info.find('`') == std::string_view::npos ? '`' : '~';
        // Longer than any run of the fence character that starts a line of the content.
        size_t longest = 0;
        LineBreaks breaks(content);
        for (size_t i = 0; i < content.size();) {
            const size_t end = breaks.next(i);
            while (i < end && (content[i] == ' ' || content[i] == '\t')) ++i;
            const size_t run = i;
            while (i < end && content[i] == fence_char) ++i;
            longest = std::max(longest, i - run);
            i = end + 1;
        }
        const std::string fence(std::max<size_t>(3, longest + 1), fence_char);
        block_begin();
        begin_line();
        buf_ += fence;
        for (size_t i = 0; i < info.size(); ++i) {
            const char c = info[i];
            if (c == '\n' || c == '\r') {
                buf_ += ' ';
            } else if (c == '\\' || (c == '&' && entity_like(info, i))) {
                buf_ += '\\';
                buf_ += c;
            } else {
                buf_ += c;
            }
        }
        end_line();
        verbatim_lines(content);
        begin_line();
        buf_ += fence;
        end_line();
    }

    void front_matter(const Metadata& metadata) {
        if (metadata.entries.empty()) return;
        // One entry per key, where the key first appears, with the value it last has: what a mapping holds.
        std::unordered_map<std::string_view, size_t> last;
        for (size_t i = 0; i < metadata.entries.size(); ++i) last[metadata.entries[i].key] = i;
        std::unordered_set<std::string_view> written;
        buf_ += "---\n";
        for (const MetadataEntry& entry : metadata.entries) {
            if (!written.insert(entry.key).second) continue;
            yaml_key(buf_, entry.key);
            buf_ += ": ";
            yaml_value(buf_, metadata.entries[last[entry.key]].value);
            buf_ += '\n';
        }
        buf_ += "---\n";
        any_output_ = true;
        frames_[0].blocks = 1;
    }

    // ------------------------------------------------------------------ inline text

    enum class Start : uint8_t {
        Block,  // a paragraph: its block and first line begin with its first visible character
        Line,   // a line is already begun (a heading, a cell): nothing to begin
        Inside  // inside markup already written on the line (an image description)
    };

    struct Delim {
        NodeType type;
        char mark = 0;         // '*', '_' or '~'; 0 while unwritten
        bool written = false;  // the opener is out
        bool dropped = false;  // no markup for this node (a link inside a link, a strike inside a strike)
    };

    struct InlineState {
        bool active = false;
        bool single_line = false;  // line breaks become spaces (headings, cells, descriptions)
        bool heading = false;      // '#' is escaped everywhere
        bool cell = false;         // '|' is escaped in code spans too
        Start start = Start::Block;
        std::string_view lead;       // written before the first visible character (" " after "#" or "|")
        bool begun = false;          // a visible character has been written
        std::string pending_ws;      // white space not yet written: it may end up outside a delimiter
        bool pending_break = false;  // a line break is pending
        bool pending_hard = false;   // ... and it is a hard one
        size_t unwritten = 0;        // delims_[unwritten..] are openers not yet written
        char last_closer = 0;        // the last thing written was a closing run of this mark
        bool guard = false;          // a closer needs the next character to be white space or punctuation
        bool after_ref = false;      // a footnote reference was just written
        int link_depth = 0;
        int strike_depth = 0;
        std::vector<Delim> delims;
    };

    void start_inline(Start start, bool single_line, std::string_view lead = {}) {
        InlineState& s = inline_;
        s.active = true;
        s.single_line = single_line;
        s.heading = false;
        s.cell = false;
        s.start = start;
        s.lead = lead;
        s.begun = false;
        s.pending_ws.clear();
        s.pending_break = s.pending_hard = false;
        s.unwritten = 0;
        s.last_closer = 0;
        s.guard = s.after_ref = false;
        s.link_depth = s.strike_depth = 0;
        s.delims.clear();
        if (start == Start::Inside) line_start_ = false;
    }

    // Ends the inline text: trailing white space goes, a paragraph's line ends. True when anything was written.
    bool finish_inline() {
        InlineState& s = inline_;
        s.active = false;
        if (s.start == Start::Block && s.begun) end_line();
        return s.begun;
    }

    // The class of the character before the write position.
    Cls prev_class() const {
        if (line_start_ || buf_.empty()) return Cls::Space;
        size_t len = 1;
        return classify(read_utf8(buf_, last_utf8_start(buf_), len));
    }

    // Rewrites the character before the write position as a character reference (it is a letter of text),
    // so that a delimiter run written next follows punctuation.
    void encode_prev() {
        const size_t at = last_utf8_start(buf_);
        size_t len = 1;
        const uint32_t cp = read_utf8(buf_, at, len);
        if (is_control(cp)) {
            buf_ += kEmptyComment;
            return;
        }
        buf_.resize(at);
        append_char_ref(buf_, cp);
    }

    // Writes a character of text as a character reference, so that the delimiter run before it is followed
    // by punctuation.
    void write_encoded(uint32_t cp, std::string_view bytes) {
        if (is_control(cp)) {
            buf_ += kEmptyComment;
            buf_ += bytes;
        } else {
            append_char_ref(buf_, cp);
        }
    }

    void flush_ws() {
        InlineState& s = inline_;
        if (s.pending_break) {
            // Spaces and tabs at a line end or start mean nothing to a reader (two would make a hard break);
            // other white space (no-break spaces) is kept.
            for (char c : s.pending_ws) {
                if (c != ' ' && c != '\t' && c != '\n' && c != '\r') buf_ += c;
            }
            if (s.pending_hard) buf_ += '\\';
            end_line();
            begin_line();
        } else if (!s.pending_ws.empty()) {
            if (line_start_) {
                for (char c : s.pending_ws) {
                    if (c == ' ' || c == '\t') continue;
                    buf_ += c;
                    line_start_ = false;
                }
            } else {
                buf_ += s.pending_ws;
            }
        }
        if (!s.pending_ws.empty() || s.pending_break) {
            s.guard = false;
            s.last_closer = 0;
        }
        s.pending_ws.clear();
        s.pending_break = s.pending_hard = false;
    }

    // Called before the first byte of visible content; `next` is the class of that byte as written.
    void content(Cls next) {
        InlineState& s = inline_;
        if (!s.begun) {
            s.begun = true;
            if (s.start == Start::Block) {
                block_begin();
                begin_line();
            }
            buf_ += s.lead;
            s.pending_ws.clear();  // white space at the start of the text means nothing
            s.pending_break = s.pending_hard = false;
        } else {
            flush_ws();
        }
        s.after_ref = false;
        while (s.unwritten < s.delims.size()) {
            Delim& d = s.delims[s.unwritten++];
            if (d.dropped) continue;
            char mark = d.type == NodeType::Strikethrough ? '~' : '*';
            // A run right after a closing run of the same mark would join it: take the other mark.
            if (mark == '*' && s.last_closer == '*') mark = '_';
            const Cls after = s.unwritten < s.delims.size() ? Cls::Punct : next;
            const Cls before = prev_class();
            if (maybe_word(before) && (mark == '_' || maybe_punct(after))) encode_prev();
            d.mark = mark;
            d.written = true;
            const size_t count = d.type == NodeType::Emphasis ? 1 : 2;
            buf_.append(count, mark);
            s.last_closer = 0;
            s.guard = false;
            line_start_ = false;
        }
    }

    void open_delim(NodeType type) {
        InlineState& s = inline_;
        Delim d{type};
        if (type == NodeType::Strikethrough) {
            d.dropped = s.strike_depth > 0;
            ++s.strike_depth;
        }
        s.delims.push_back(d);
    }

    void close_delim() {
        InlineState& s = inline_;
        const Delim d = s.delims.back();
        s.delims.pop_back();
        if (s.unwritten > s.delims.size()) s.unwritten = s.delims.size();
        if (d.type == NodeType::Strikethrough) --s.strike_depth;
        if (!d.written) return;  // nothing visible inside: no markup at all
        const Cls before = prev_class();
        buf_.append(d.type == NodeType::Emphasis ? 1 : 2, d.mark);
        s.last_closer = d.mark;
        s.guard = d.mark == '_' || maybe_punct(before);
        s.after_ref = false;
    }

    void pending_space(char c) {
        InlineState& s = inline_;
        if (c == '\n' || c == '\r') {
            if (s.single_line) {
                s.pending_ws += ' ';
            } else {
                s.pending_break = true;
            }
        } else {
            s.pending_ws += c;
        }
    }

    // Running text, escaped wherever a character could be read as markup.
    void text(std::string_view t) {
        InlineState& s = inline_;
        size_t i = 0;
        const size_t n = t.size();
        while (i < n) {
            const auto c = static_cast<unsigned char>(t[i]);
            // White space is held back: it may turn out to be trailing, or at a line start.
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
                pending_space(static_cast<char>(c));
                ++i;
                continue;
            }
            size_t len = 1;
            uint32_t cp = c;
            if (c >= 0x80) {
                cp = read_utf8(t, i, len);
                if (is_unicode_space(cp)) {
                    s.pending_ws.append(t.substr(i, len));
                    i += len;
                    continue;
                }
            }
            const bool after_ref = s.after_ref;
            content(classify(cp));
            bool escape = false;
            switch (c) {
                case '\\':
                case '`':
                case '*':
                case '[':
                case ']':
                case '<':
                case '~':
                case '$':
                case '|':
                    escape = true;
                    break;
                case '_':  // only between two letters or digits can it neither open nor close emphasis
                    escape = !(i > 0 && i + 1 < n && std::isalnum(static_cast<unsigned char>(t[i - 1])) &&
                               std::isalnum(static_cast<unsigned char>(t[i + 1])));
                    break;
                case '&':
                    escape = entity_like(t, i);
                    break;
                case '!':  // a link may follow: "![" would be an image, "^[" an inline note to some readers
                case '^':
                    escape = i + 1 == n;
                    break;
                case '#':
                    escape = s.heading;
                    break;
                case ':':  // "[^x]:" would define a footnote, "[^x](" make a link
                case '(':
                    escape = after_ref;
                    break;
                default:
                    break;
            }
            if (line_start_) {
                // Block markers, where the line's first character could make one.
                if (c == '#' || c == '>' || c == '-' || c == '+' || c == '=' || c == ':' || c == '|') escape = true;
                if (c >= '0' && c <= '9') {
                    size_t j = i;
                    while (j < n && t[j] >= '0' && t[j] <= '9') ++j;
                    if (j < n && (t[j] == '.' || t[j] == ')')) {
                        buf_.append(t.substr(i, j - i));
                        buf_ += '\\';
                        buf_ += t[j];
                        s.last_closer = 0;
                        line_start_ = false;
                        i = j + 1;
                        continue;
                    }
                }
            }
            if (s.guard && maybe_word(classify(cp))) {
                write_encoded(cp, t.substr(i, len));
            } else {
                if (escape) buf_ += '\\';
                buf_.append(t.substr(i, len));
            }
            s.guard = false;
            s.last_closer = 0;
            line_start_ = false;
            i += len;
            // The plain run that follows goes out at once. Spaces right before the end of the text, or before
            // other white space, may turn out to be trailing: they are left for the loop.
            size_t j = plain_run_end(t, i);
            if (j == n || !is_ascii_punct(static_cast<unsigned char>(t[j]))) {
                while (j > i && t[j - 1] == ' ') --j;
            }
            buf_.append(t.substr(i, j - i));
            i = j;
        }
    }

    void code_span(std::string_view code) {
        InlineState& s = inline_;
        if (code.empty()) return;
        std::string body;
        body.reserve(code.size());
        size_t longest = 0, run = 0;
        for (size_t i = 0; i < code.size(); ++i) {
            const char c = code[i];
            if (c == '`') {
                longest = std::max(longest, ++run);
            } else {
                run = 0;
            }
            if (c == '\r' && i + 1 < code.size() && code[i + 1] == '\n') continue;
            if (c == '\n' || c == '\r') {
                body += ' ';  // a reader reads a line break in a code span as a space
            } else if (c == '|' && s.cell) {
                body += "\\|";
            } else {
                body += c;
            }
        }
        const bool all_spaces = body.find_first_not_of(' ') == std::string::npos;
        const bool pad =
            body.front() == '`' || body.back() == '`' || (!all_spaces && body.front() == ' ' && body.back() == ' ');
        content(Cls::Punct);
        const std::string ticks(longest + 1, '`');
        buf_ += ticks;
        if (pad) buf_ += ' ';
        buf_ += body;
        if (pad) buf_ += ' ';
        buf_ += ticks;
        s.last_closer = 0;
        s.guard = false;
        line_start_ = false;
    }

    // A link destination: plain with backslash escapes, or in angle brackets when it holds spaces or controls.
    void destination(std::string_view url) {
        bool angle = false;
        for (unsigned char c : url) angle = angle || c <= 0x20 || c == 0x7F;
        if (angle) buf_ += '<';
        for (size_t i = 0; i < url.size(); ++i) {
            const char c = url[i];
            if (c == '\n') {
                buf_ += "%0A";
            } else if (c == '\r') {
                buf_ += "%0D";
            } else if (c == '\\' || c == '<' || c == '>' || c == '(' || c == ')' || (c == '&' && entity_like(url, i))) {
                buf_ += '\\';
                buf_ += c;
            } else {
                buf_ += c;
            }
        }
        if (angle) buf_ += '>';
    }

    void title(std::string_view t) {
        buf_ += " \"";
        for (size_t i = 0; i < t.size(); ++i) {
            const char c = t[i];
            if (c == '\n' || c == '\r') {
                append_char_ref(buf_, static_cast<unsigned char>(c));
            } else if (c == '"' || c == '\\' || (c == '&' && entity_like(t, i))) {
                buf_ += '\\';
                buf_ += c;
            } else {
                buf_ += c;
            }
        }
        buf_ += '"';
    }

    void inline_enter(NodeRef n) {
        InlineState& s = inline_;
        const Inline& node = n.as<Inline>();
        switch (n.type) {
            case NodeType::Text:
                if (item_depth_ > 0) {
                    without_continuation_marks(node.text, [&](std::string_view piece) { text(piece); });
                } else {
                    text(node.text);
                }
                break;
            case NodeType::CodeSpan:
                code_span(node.text);
                break;
            case NodeType::Emphasis:
            case NodeType::Strong:
            case NodeType::Strikethrough:
                open_delim(n.type);
                break;
            case NodeType::Link:
                if (s.link_depth++ > 0) break;  // links do not nest: an inner one is its label
                content(Cls::Punct);
                buf_ += '[';
                s.last_closer = 0;
                line_start_ = false;
                break;
            case NodeType::AutoLink:
                if (s.link_depth > 0) {
                    text(node.text);
                } else if (plain_autolink(node.text)) {
                    content(Cls::Punct);
                    buf_ += '<';
                    buf_ += node.text;
                    buf_ += '>';
                    s.last_closer = 0;
                    line_start_ = false;
                } else {
                    content(Cls::Punct);
                    buf_ += '[';
                    line_start_ = false;
                    ++s.link_depth;
                    text(node.text);
                    --s.link_depth;
                    flush_trailing_ws_inside();
                    buf_ += "](";
                    destination(node.text);
                    buf_ += ')';
                    s.last_closer = 0;
                    s.guard = false;
                }
                break;
            case NodeType::FootnoteRef:
                content(Cls::Punct);
                buf_ += "[^";
                buf_ += safe_label(node.text);
                buf_ += ']';
                s.last_closer = 0;
                line_start_ = false;
                s.after_ref = true;
                break;
            case NodeType::HardBreak:
                if (s.single_line) {
                    s.pending_ws += ' ';
                } else {
                    s.pending_break = s.pending_hard = true;
                }
                break;
            case NodeType::SoftBreak:
                pending_space('\n');
                break;
            default:
                break;
        }
    }

    // White space held back inside a link label is written before the closing bracket.
    void flush_trailing_ws_inside() {
        InlineState& s = inline_;
        if (s.pending_break) {
            s.pending_ws += ' ';
            s.pending_break = s.pending_hard = false;
        }
        if (!s.pending_ws.empty() && s.begun) {
            buf_ += s.pending_ws;
            s.guard = false;
        }
        s.pending_ws.clear();
    }

    void inline_leave(NodeRef n) {
        InlineState& s = inline_;
        switch (n.type) {
            case NodeType::Emphasis:
            case NodeType::Strong:
            case NodeType::Strikethrough:
                close_delim();
                break;
            case NodeType::Link: {
                if (--s.link_depth > 0) break;
                const Inline& node = n.as<Inline>();
                buf_ += "](";
                destination(node.text);
                if (node.title) title(*node.title);
                buf_ += ')';
                s.last_closer = 0;
                s.guard = false;
                break;
            }
            default:
                break;
        }
    }

    // ------------------------------------------------------------------ blocks

    struct ListState {
        bool ordered = false;
        char mark = '-';
        uint64_t number = 1;
    };

    struct TableState {
        size_t columns = 0;
        size_t row = 0;    // rows written, the header included
        size_t cells = 0;  // cells written in the current row
        bool header_from_first = false;
    };

    void table_line_end() {
        TableState& t = table_;
        for (; t.cells < t.columns; ++t.cells) buf_ += "  |";
        end_line();
    }

    void table_delimiter_row() {
        begin_line();
        buf_ += '|';
        for (size_t i = 0; i < table_.columns; ++i) buf_ += " --- |";
        end_line();
    }

    void callout_head(const Callout& callout) {
        const std::string_view alert = alert_kind(callout.kind);
        std::string_view heading = callout.title ? *callout.title : std::string_view();
        if (!alert.empty()) {
            begin_line();
            buf_ += "[!";
            buf_ += alert;
            buf_ += ']';
            end_line();
        } else if (!callout.title) {
            heading = callout.kind;
        }
        if (heading.empty()) return;
        // The title, bold, as the quote's first paragraph (right under the alert line).
        start_inline(Start::Block, true);
        open_delim(NodeType::Strong);
        text(heading);
        close_delim();
        finish_inline();
    }

    void enter_block(Walker& w, NodeRef n) {
        switch (n.type) {
            case NodeType::Heading: {
                const Heading& h = n.as<Heading>();
                block_begin();
                begin_line();
                buf_.append(std::clamp<size_t>(h.level, 1, 6), '#');
                start_inline(Start::Line, true, " ");
                inline_.heading = true;
                line_start_ = false;
                break;
            }
            case NodeType::Paragraph:
                start_inline(Start::Block, false);
                break;
            case NodeType::List: {
                const List& list = n.as<List>();
                if (list.items.empty()) {
                    w.skip_children();
                    break;
                }
                block_begin();
                ListState state;
                state.ordered = list.kind == ListKind::Ordered;
                // Two lists in a row would read as one: the second takes the other marker.
                const char usual = state.ordered ? '.' : '-';
                const char other = state.ordered ? ')' : '*';
                state.mark = previous_list_ == usual ? other : usual;
                state.number = std::min<uint64_t>(list.start.value_or(1), kMaxListNumber);
                lists_.push_back(state);
                break;
            }
            case NodeType::ListItem: {
                std::string marker = "-";
                if (w.depth() > 0 && w.parent().type == NodeType::List && !lists_.empty()) {
                    ListState& list = lists_.back();
                    if (list.ordered) {
                        marker = std::to_string(list.number) + list.mark;
                        if (list.number < kMaxListNumber) ++list.number;
                    } else {
                        marker = std::string(1, list.mark);
                    }
                } else {
                    block_begin();
                }
                marker += ' ';
                push_frame(marker, std::string(marker.size(), ' '));
                ++item_depth_;
                break;
            }
            case NodeType::CodeBlock: {
                const CodeBlock& code = n.as<CodeBlock>();
                fenced(code.lang, code.content);
                break;
            }
            case NodeType::RawBlock:
                fenced({}, n.as<RawBlock>().content);
                break;
            case NodeType::MathBlock:
                // A reader without math shows a math fence as code; between "$$" lines it would read the TeX
                // as Markdown (an HTML tag in it as HTML, "a*b*c" as emphasis).
                fenced("math", n.as<MathBlock>().content);
                break;
            case NodeType::HtmlBlock: {
                const std::string_view content = n.as<HtmlBlock>().content;
                if (content.empty()) break;
                if (html_runs_on(content)) {
                    fenced("html", content);
                    break;
                }
                block_begin();
                verbatim_lines(content);
                break;
            }
            case NodeType::ThematicBreak: {
                // "---" opens front matter at the very start, and after a list marker it could be read
                // as something else; "***" is a break everywhere.
                const bool first = !any_output_ || (frames_.size() > 1 && !frames_.back().started);
                block_begin();
                begin_line();
                buf_ += first ? "***" : "---";
                end_line();
                break;
            }
            case NodeType::Quote:
                block_begin();
                push_frame("> ", "> ");
                break;
            case NodeType::Callout:
                block_begin();
                push_frame("> ", "> ");
                callout_head(n.as<Callout>());
                break;
            case NodeType::Figure: {
                const Figure& figure = n.as<Figure>();
                block_begin();
                begin_line();
                buf_ += "![";
                start_inline(Start::Inside, true);
                inline_.begun = true;
                text(figure.alt);
                flush_trailing_ws_inside();
                inline_.active = false;
                buf_ += "](";
                destination(figure.src);
                if (figure.caption) title(*figure.caption);
                buf_ += ')';
                end_line();
                if (figure.caption) {
                    start_inline(Start::Block, false);
                    text(*figure.caption);
                    finish_inline();
                }
                break;
            }
            case NodeType::Table: {
                const Table& table = n.as<Table>();
                size_t columns = 0;
                for (const TableRow& row : table.rows) columns = std::max(columns, row.cells.size());
                if (columns == 0) {
                    w.skip_children();
                    break;
                }
                begin_table(columns, !table.rows.empty() && table.rows[0].header);
                break;
            }
            case NodeType::TableRow: {
                const TableRow& row = n.as<TableRow>();
                if (w.depth() == 0 || w.parent().type != NodeType::Table) {
                    // A row on its own: a table of one row.
                    if (row.cells.empty()) {
                        w.skip_children();
                        break;
                    }
                    begin_table(row.cells.size(), row.header);
                }
                begin_line();
                buf_ += '|';
                table_.cells = 0;
                break;
            }
            case NodeType::TableCell:
                if (w.depth() == 0 || w.parent().type != NodeType::TableRow) {
                    start_inline(Start::Block, false);  // a cell on its own: a paragraph
                    break;
                }
                start_inline(Start::Inside, true, " ");
                inline_.cell = true;
                break;
            case NodeType::FootnoteDef: {
                block_begin();
                const std::string label = "[^" + safe_label(n.as<FootnoteDef>().label) + "]: ";
                push_frame(label, "    ");
                break;
            }
            case NodeType::Footnotes:
                break;
            default:
                break;
        }
    }

    void begin_table(size_t columns, bool header_from_first) {
        block_begin();
        table_ = TableState{columns, 0, 0, header_from_first};
        if (!header_from_first) {
            // Every pipe table needs a header row: a table without one gets an empty one.
            begin_line();
            buf_ += '|';
            table_.cells = 0;
            table_line_end();
            table_delimiter_row();
            table_.row = 1;
        }
    }

    void leave_block(Walker& w, NodeRef n) {
        switch (n.type) {
            case NodeType::Heading:
                finish_inline();
                end_line();
                break;
            case NodeType::Paragraph:
                finish_inline();
                break;
            case NodeType::List:
                if (n.as<List>().items.empty()) break;
                frames_.back().last_list = lists_.back().mark;
                lists_.pop_back();
                break;
            case NodeType::ListItem:
                --item_depth_;
                pop_frame();
                break;
            case NodeType::Quote:
            case NodeType::Callout:
            case NodeType::FootnoteDef:
                pop_frame();
                break;
            case NodeType::TableRow:
                if (n.as<TableRow>().cells.empty() && (w.depth() == 0 || w.parent().type != NodeType::Table)) break;
                table_line_end();
                if (table_.row++ == 0) table_delimiter_row();
                break;
            case NodeType::TableCell:
                if (w.depth() == 0 || w.parent().type != NodeType::TableRow) {
                    finish_inline();
                    break;
                }
                flush_trailing_ws_inside();
                inline_.active = false;
                buf_ += " |";
                ++table_.cells;
                break;
            default:
                break;
        }
    }

    // An HTML block that a reader would keep reading past its end (an unclosed comment, script, ...):
    // written verbatim it would swallow every block after it.
    static bool html_runs_on(std::string_view content) {
        size_t i = 0;
        while (i < content.size() && i < 3 && content[i] == ' ') ++i;
        std::string_view s = content.substr(i);
        auto lower_starts = [&](std::string_view prefix) {
            if (s.size() < prefix.size()) return false;
            for (size_t k = 0; k < prefix.size(); ++k) {
                if (std::tolower(static_cast<unsigned char>(s[k])) != prefix[k]) return false;
            }
            return true;
        };
        auto contains_ci = [&](std::string_view needle) {
            std::string lower(content);
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return lower.find(needle) != std::string::npos;
        };
        struct RawTag {
            std::string_view open, close;
        };
        for (const RawTag& tag : {RawTag{"<script", "</script>"}, RawTag{"<pre", "</pre>"},
                                  RawTag{"<style", "</style>"}, RawTag{"<textarea", "</textarea>"}}) {
            if (lower_starts(tag.open)) {
                const size_t after = tag.open.size();
                if (s.size() == after || s[after] == ' ' || s[after] == '>' || s[after] == '\t' || s[after] == '\n' ||
                    s[after] == '\r') {
                    return !contains_ci(tag.close);
                }
            }
        }
        if (s.substr(0, 4) == "<!--") return s.find("-->", 2) == std::string_view::npos;
        if (s.substr(0, 2) == "<?") return s.find("?>", 2) == std::string_view::npos;
        if (s.substr(0, 9) == "<![CDATA[") return s.find("]]>", 9) == std::string_view::npos;
        if (s.size() > 2 && s[0] == '<' && s[1] == '!' && std::isalpha(static_cast<unsigned char>(s[2]))) {
            return s.find('>', 2) == std::string_view::npos;
        }
        return false;
    }

    void write_node(NodeRef top) {
        if (is_inline(top.type)) {
            if (!inline_.active) start_inline(Start::Block, false);
        } else if (inline_.active) {
            finish_inline();
        }
        Walker w(top);
        while (w.next()) {
            const NodeRef n = w.node();
            if (is_inline(n.type)) {
                if (w.event() == Event::Enter) {
                    inline_enter(n);
                } else {
                    inline_leave(n);
                }
            } else if (w.event() == Event::Enter) {
                enter_block(w, n);
            } else {
                leave_block(w, n);
            }
        }
    }

    std::string buf_;
    std::vector<Frame> frames_{Frame{}};
    std::vector<ListState> lists_;
    TableState table_;
    InlineState inline_;
    char previous_list_ = 0;   // the marker of the list right before the block that begins
    size_t item_depth_ = 0;    // the list items open around the current node
    bool line_start_ = true;   // nothing visible written on this line yet
    bool any_output_ = false;  // anything written at all (a "---" first would open front matter)
};

}  // namespace

std::unique_ptr<Writer> make_markdown_writer(const MarkdownOptions&) {
    return std::make_unique<MarkdownWriter>();
}

}  // namespace quillet::writers
