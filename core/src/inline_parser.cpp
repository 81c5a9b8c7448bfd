// The inline parser: a single forward scan over one block's text. At each byte that can open a construct
// the matching closer is searched for; found, the construct becomes a node (its content parsed by a fresh
// parser over the content slice); not found, the byte is ordinary text. Text between constructs is gathered
// into Text nodes, so the top-level spans tile the text without gap or overlap.
#include "quillet/inline_parser.hpp"

#include <array>
#include <cstring>

namespace quillet {

namespace {

// A closer search stops at the first suitable closer, so a construct never directly holds one of its own
// kind and nesting cannot go deeper than three (`**~~*a*~~**`). This guard therefore never changes the
// output; it only bounds the recursion should that reasoning ever be broken by a change.
constexpr int kMaxInlineDepth = 8;

constexpr size_t kNone = static_cast<size_t>(-1);

constexpr std::array<bool, 256> make_opener_table() {
    std::array<bool, 256> table{};
    table[static_cast<unsigned char>('*')] = true;
    table[static_cast<unsigned char>('`')] = true;
    table[static_cast<unsigned char>('[')] = true;
    table[static_cast<unsigned char>('~')] = true;
    table[static_cast<unsigned char>('<')] = true;
    return table;
}
constexpr std::array<bool, 256> kOpener = make_opener_table();

// The closer searches of one parser. Each is "the first k at or after lo with P(k)" for a predicate P of the
// text alone (never of the opener), and within one parser lo only grows, since the scan position does. So
// each search remembers where it last started and what it found: a later query at or before that hit gets
// the same answer, and a query past it scans on from its own lo. The scans of one predicate never overlap,
// and a text full of unclosed openers costs one pass per predicate instead of one pass per opener.
struct Memo {
    size_t from = kNone;  // lo of the last scan; kNone before the first
    size_t hit = kNone;   // its result
};

class InlineParser {
public:
    InlineParser(std::string_view text, uint32_t base, int depth)
        : t_(text), n_(text.size()), base_(base), depth_(depth) {}

    Inlines parse();

private:
    struct Match {
        Inline node;
        size_t end = 0;  // index just past the construct
    };

    bool is(size_t i, char c) const { return i < n_ && t_[i] == c; }
    Span span(size_t from, size_t to) const {
        return Span{static_cast<uint32_t>(base_ + from), static_cast<uint32_t>(base_ + to)};
    }
    // Index of the first byte c at or after `from`, or kNone.
    size_t find(char c, size_t from) const {
        if (from >= n_) return kNone;
        const void* hit = std::memchr(t_.data() + from, c, n_ - from);
        return hit ? static_cast<size_t>(static_cast<const char*>(hit) - t_.data()) : kNone;
    }
    size_t next_opener(size_t from) const {
        for (size_t i = from; i < n_; ++i) {
            if (kOpener[static_cast<unsigned char>(t_[i])]) return i;
        }
        return kNone;
    }

    // Answers "first k >= lo with P(k)" from the memo when the last scan already covers lo.
    template <class Scan>
    size_t memo_find(Memo& memo, size_t lo, Scan scan) {
        if (memo.from != kNone && lo >= memo.from && (memo.hit == kNone || lo <= memo.hit)) return memo.hit;
        memo.from = lo;
        memo.hit = scan(lo);
        return memo.hit;
    }
    size_t memo_byte(Memo& memo, char c, size_t lo) {
        return memo_find(memo, lo, [&](size_t from) { return find(c, from); });
    }

    // The plain scans behind the memos.
    size_t scan_double_close(char c, size_t lo) const;
    size_t scan_emphasis_close(size_t lo) const;
    size_t scan_link_close(size_t lo) const;
    size_t scan_scheme_mark(size_t lo) const;

    bool recognise(size_t p, Match& m);
    bool code_span(size_t p, Match& m);
    bool paired(size_t p, size_t delim_len, size_t close, InlineKind kind, Match& m) const;
    bool strong(size_t p, Match& m);
    bool emphasis(size_t p, Match& m);
    bool strikethrough(size_t p, Match& m);
    bool footnote_ref(size_t p, Match& m);
    bool link(size_t p, Match& m);
    bool autolink(size_t p, Match& m);

    std::string_view t_;
    size_t n_;
    uint32_t base_;
    int depth_;
    Memo backtick_, bracket_, gt_, space_, line_feed_, scheme_mark_, link_close_, strong_close_, strike_close_,
        emphasis_close_;
};

Inlines InlineParser::parse() {
    Inlines out;
    size_t s = 0;
    size_t pos = 0;
    while (pos < n_) {
        const size_t p = next_opener(pos);
        if (p == kNone) break;
        Match m;
        if (!recognise(p, m)) {
            // The opener stays inside the pending text run.
            pos = p + 1;
            continue;
        }
        if (s < p) out.push_back(Inline{InlineKind::Text, span(s, p), t_.substr(s, p - s), {}, {}});
        out.push_back(std::move(m.node));
        pos = s = m.end;
    }
    if (s < n_) out.push_back(Inline{InlineKind::Text, span(s, n_), t_.substr(s), {}, {}});
    return out;
}

bool InlineParser::recognise(size_t p, Match& m) {
    switch (t_[p]) {
        case '`':
            return code_span(p, m);
        case '*':
            if (p + 1 == n_ || t_[p + 1] == ' ') return false;
            // When strong declines, emphasis is not tried at the same byte.
            if (t_[p + 1] == '*') return strong(p, m);
            return emphasis(p, m);
        case '~':
            return strikethrough(p, m);
        case '[':
            if (is(p + 1, '^')) return footnote_ref(p, m);
            if (is(p + 1, '[')) return link(p, m);
            return false;
        case '<':
            return autolink(p, m);
        default:
            return false;
    }
}

bool InlineParser::code_span(size_t p, Match& m) {
    const size_t k = memo_byte(backtick_, '`', p + 1);
    if (k == kNone) return false;
    m.node = Inline{InlineKind::CodeSpan, span(p, k + 1), t_.substr(p + 1, k - p - 1), {}, {}};
    m.end = k + 1;
    return true;
}

// The first c at k >= lo with another c after it and no space before it. Strong and strikethrough search
// from the byte after their content's first one (a closer needs k > content start), so k - 1 always exists.
size_t InlineParser::scan_double_close(char c, size_t lo) const {
    for (size_t k = find(c, lo); k != kNone; k = find(c, k + 1)) {
        if (k + 1 < n_ && t_[k + 1] == c && t_[k - 1] != ' ') return k;
    }
    return kNone;
}

// Emphasis passes over "**" pairs from the first "*" of each run, so a run of even length closes nothing
// and a run of odd length closes at its last "*" when that one has no space before it: always when the run
// is three or more long, else when the byte before the run is not a space. The search starts where t[lo]
// is not "*", so it always meets a run at its first "*", and whole runs can be judged at once.
size_t InlineParser::scan_emphasis_close(size_t lo) const {
    for (size_t a = find('*', lo); a != kNone;) {
        size_t k = a;
        while (k + 1 < n_ && t_[k + 1] == '*') ++k;
        const size_t run = k - a + 1;
        if (run % 2 == 1 && (run >= 3 || t_[a - 1] != ' ')) return k;
        a = find('*', k + 1);
    }
    return kNone;
}

// The first "]" followed by another "]".
size_t InlineParser::scan_link_close(size_t lo) const {
    for (size_t k = find(']', lo); k != kNone; k = find(']', k + 1)) {
        if (k + 1 < n_ && t_[k + 1] == ']') return k;
    }
    return kNone;
}

// The first "://" starting at or after lo.
size_t InlineParser::scan_scheme_mark(size_t lo) const {
    for (size_t k = find(':', lo); k != kNone; k = find(':', k + 1)) {
        if (k + 2 < n_ && t_[k + 1] == '/' && t_[k + 2] == '/') return k;
    }
    return kNone;
}

// Emphasis, strong and strikethrough: the content between the delimiters is parsed by a nested parser,
// with memos of its own (at the end of a slice the predicates differ from the parent's).
bool InlineParser::paired(size_t p, size_t delim_len, size_t close, InlineKind kind, Match& m) const {
    if (close == kNone || depth_ >= kMaxInlineDepth) return false;
    const size_t c = p + delim_len;
    Inline node{kind, span(p, close + delim_len), {}, {}, {}};
    node.children = InlineParser(t_.substr(c, close - c), static_cast<uint32_t>(base_ + c), depth_ + 1).parse();
    m.node = std::move(node);
    m.end = close + delim_len;
    return true;
}

bool InlineParser::strong(size_t p, Match& m) {
    if (!(p + 2 < n_) || t_[p + 2] == ' ') return false;
    const size_t k = memo_find(strong_close_, p + 3, [&](size_t lo) { return scan_double_close('*', lo); });
    return paired(p, 2, k, InlineKind::Strong, m);
}

bool InlineParser::emphasis(size_t p, Match& m) {
    const size_t k = memo_find(emphasis_close_, p + 1, [&](size_t lo) { return scan_emphasis_close(lo); });
    return paired(p, 1, k, InlineKind::Emphasis, m);
}

bool InlineParser::strikethrough(size_t p, Match& m) {
    // A single tilde is always text.
    if (!is(p + 1, '~') || !(p + 2 < n_) || t_[p + 2] == ' ') return false;
    const size_t k = memo_find(strike_close_, p + 3, [&](size_t lo) { return scan_double_close('~', lo); });
    return paired(p, 2, k, InlineKind::Strikethrough, m);
}

bool InlineParser::footnote_ref(size_t p, Match& m) {
    const size_t k = memo_byte(bracket_, ']', p + 2);
    if (k == kNone) return false;
    m.node = Inline{InlineKind::FootnoteRef, span(p, k + 1), t_.substr(p + 2, k - p - 2), {}, {}};
    m.end = k + 1;
    return true;
}

// [[label|url]] or [[target]]; the label is not parsed and is always one Text node, even when empty.
bool InlineParser::link(size_t p, Match& m) {
    const size_t c = p + 2;
    const size_t k = memo_find(link_close_, c, [&](size_t lo) { return scan_link_close(lo); });
    if (k == kNone) return false;
    const std::string_view content = t_.substr(c, k - c);
    const size_t bar = content.find('|');
    const std::string_view label = bar == std::string_view::npos ? content : content.substr(0, bar);
    const std::string_view url = bar == std::string_view::npos ? content : content.substr(bar + 1);
    Inline node{InlineKind::Link, span(p, k + 2), url, std::nullopt, {}};
    node.children.push_back(Inline{InlineKind::Text, span(c, c + label.size()), label, {}, {}});
    m.node = std::move(node);
    m.end = k + 2;
    return true;
}

// <url>: up to the first ">", holding "://" or beginning with "mailto:", and no space or line feed. Each
// test asks where the next such mark lies after the "<" and compares it with the ">".
bool InlineParser::autolink(size_t p, Match& m) {
    const size_t k = memo_byte(gt_, '>', p + 1);
    if (k == kNone) return false;
    const std::string_view u = t_.substr(p + 1, k - p - 1);
    const size_t mark = memo_find(scheme_mark_, p + 1, [&](size_t lo) { return scan_scheme_mark(lo); });
    const bool has_scheme_mark = mark != kNone && mark + 3 <= k;
    if (!has_scheme_mark && u.substr(0, 7) != "mailto:") return false;
    if (memo_byte(space_, ' ', p + 1) < k || memo_byte(line_feed_, '\n', p + 1) < k) return false;
    m.node = Inline{InlineKind::AutoLink, span(p, k + 1), u, {}, {}};
    m.end = k + 1;
    return true;
}

}  // namespace

Inlines parse_inlines(std::string_view text, uint32_t base) {
    return InlineParser(text, base, 0).parse();
}

}  // namespace quillet
