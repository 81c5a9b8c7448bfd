// The inline parser: a single forward scan over one block's text. At each byte that can open a construct
// the matching closer is searched for; found, the construct becomes a node (its content parsed by a fresh
// parser over the content slice); not found, the byte is ordinary text. Text between constructs is gathered
// into Text nodes, so the top-level spans tile the text without gap or overlap.
#include "inline_parser.hpp"

#include "quillet/parser.hpp"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "quillet/aligned_blocks.hpp"

namespace quillet {

namespace {

// A closer search stops at the first suitable closer, so a construct never directly holds one of its own
// kind and nesting cannot go deeper than three (`**~~*a*~~**`). This guard therefore never changes the
// output; it only bounds the recursion should that reasoning ever be broken by a change.
constexpr int kMaxInlineDepth = 8;

constexpr size_t kNone = static_cast<size_t>(-1);

#if !QUILLET_ALIGNED_BLOCKS
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
#endif

#if QUILLET_ALIGNED_BLOCKS
// The bytes one SSE2 comparison covers.
constexpr size_t kBlockBytes = 16;

// One bit per byte of the aligned 16-byte block: set where the byte may open a construct.
inline unsigned opener_mask(const char* block) {
    const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(block));
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('*')), _mm_cmpeq_epi8(v, _mm_set1_epi8('`'))),
                     _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('[')), _mm_cmpeq_epi8(v, _mm_set1_epi8('~')))),
        _mm_cmpeq_epi8(v, _mm_set1_epi8('<')));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
#endif

// Index of the first byte of t at or after `from` that may open a construct, or kNone. Ordinary text is
// skipped sixteen bytes at a time where the machine can compare them at once.
size_t find_opener(std::string_view t, size_t from) {
    const size_t n = t.size();
    if (from >= n) return kNone;
#if QUILLET_ALIGNED_BLOCKS
    // Reads whole aligned 16-byte blocks, the first and last of which may reach outside the text; an aligned
    // block never crosses a page, so this cannot fault, and bytes outside the text are masked off or lie
    // past the end. Short texts (the content of an emphasis, a table cell) cost one block, not a byte loop.
    const char* data = t.data();
    const auto start = reinterpret_cast<uintptr_t>(data + from);
    const char* block = reinterpret_cast<const char*>(start & ~uintptr_t{kBlockBytes - 1});
    const char* end = data + n;
    unsigned mask = opener_mask(block) & (~0u << (start & (kBlockBytes - 1)));
    for (;;) {
        if (mask != 0) {
            const auto i = static_cast<size_t>(block + __builtin_ctz(mask) - data);
            return i < n ? i : kNone;
        }
        block += kBlockBytes;
        if (block >= end) return kNone;
        mask = opener_mask(block);
    }
#else
    for (size_t i = from; i < n; ++i) {
        if (kOpener[static_cast<unsigned char>(t[i])]) return i;
    }
    return kNone;
#endif
}

// The closer searches of one parser. Each is "the first k at or after lo with P(k)" for a predicate P of the
// text alone (never of the opener), and within one parser lo only grows, since the scan position does. So
// each search remembers where it last started and what it found: a later query at or before that hit gets
// the same answer, and a query past it scans on from its own lo. The scans of one predicate never overlap,
// and a text full of unclosed openers costs one pass per predicate instead of one pass per opener.
struct Memo {
    size_t from;  // lo of the last scan
    size_t hit;   // its result
};

// The memos of one parser. A nested parser is made for every emphasis, so they start unset by one bit each
// rather than by clearing every memo.
enum MemoId : unsigned {
    kBacktickMemo,
    kBracketMemo,
    kGreaterMemo,
    kSpaceMemo,
    kLineFeedMemo,
    kSchemeMarkMemo,
    kLinkCloseMemo,
    kStrongCloseMemo,
    kStrikeCloseMemo,
    kEmphasisCloseMemo,
    kMemoCount,
};

// Nodes are gathered on one stack shared by a parser and the parsers of its constructs' contents: each
// parser pushes above what its caller left there, and at its end copies its own nodes into the arena as one
// array of exactly their number and pops them. So a text's nodes cost one allocation, not one per doubling.
// The nodes of a whole text of thousands of them are not copied: the stack's array itself goes to the arena.
using Scratch = InlineStack;

// What a parse keeps of its stack between texts; a larger one (a text of thousands of nodes) is freed, or
// handed to the arena with the text's nodes.
constexpr size_t kScratchKeep = 4096;

// A text with a streaming sink hands its top-level nodes over in batches of this many, so that a paragraph
// of millions of nodes never has more than one batch's tree in memory beside its Python objects.
constexpr size_t kInlineBatch = 4096;

class InlineParser {
public:
    InlineParser(std::string_view text, uint32_t base, int depth, Scratch& scratch, Arena& arena)
        : t_(text), n_(text.size()), base_(base), depth_(depth), scratch_(scratch), arena_(arena) {}

    Inlines parse();
    // The same, for a text whose first opener is known to be at `first` (kNone: there is none).
    Inlines parse_from(size_t first);

    // Streams the top-level nodes of this parser's text to `sink` in batches (see parse_inlines).
    void stream_to(BlockSink* sink, bool* refused) {
        sink_ = sink;
        refused_ = refused;
    }

private:
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
    size_t next_opener(size_t from) const { return find_opener(t_, from); }

    // Answers "first k >= lo with P(k)" from the memo when the last scan already covers lo.
    template <class Scan>
    size_t memo_find(MemoId id, size_t lo, Scan scan) {
        Memo& memo = memos_[id];
        const unsigned bit = 1u << id;
        if ((memos_set_ & bit) != 0 && lo >= memo.from && (memo.hit == kNone || lo <= memo.hit)) return memo.hit;
        memos_set_ |= bit;
        memo.from = lo;
        memo.hit = scan(lo);
        return memo.hit;
    }
    size_t memo_byte(MemoId id, char c, size_t lo) {
        return memo_find(id, lo, [&](size_t from) { return find(c, from); });
    }

    // The plain scans behind the memos.
    size_t scan_double_close(char c, size_t lo) const;
    size_t scan_emphasis_close(size_t lo) const;
    size_t scan_link_close(size_t lo) const;
    size_t scan_scheme_mark(size_t lo) const;

    // Each recogniser returns kNone when the opener at p opens nothing; otherwise it has emitted its node
    // (after the pending text) and returns the index just past the construct.
    size_t recognise(size_t p);
    size_t code_span(size_t p);
    size_t paired(size_t p, size_t delim_len, size_t close, InlineKind kind);
    size_t strong(size_t p);
    size_t emphasis(size_t p);
    size_t strikethrough(size_t p);
    size_t footnote_ref(size_t p);
    size_t link(size_t p);
    size_t autolink(size_t p);

    // The nodes above `mark` on the stack, moved into the arena: the whole stack's array when they are a
    // whole text's, too many to keep the array for the next text anyway, and the parse streams nothing (a
    // streamed batch's memory goes back to the arena after the batch; a kept array would stay).
    Inlines take(size_t mark) {
        const size_t count = scratch_.size() - mark;
        if (count == 0) return {};
        if (depth_ == 0 && sink_ == nullptr && mark == 0 && count > kScratchKeep) {
            size_t mapped = 0;
            Inline* nodes = scratch_.release(mapped);
            arena_.keep(nodes, mapped);
            return Inlines(nodes, count);
        }
        auto* nodes = static_cast<Inline*>(arena_.allocate(count * sizeof(Inline), alignof(Inline)));
        std::memcpy(static_cast<void*>(nodes), scratch_.data() + mark, count * sizeof(Inline));
        scratch_.truncate(mark);
        return Inlines(nodes, count);
    }

    // Emits the text pending before p as one Text node.
    void flush_text(size_t p) {
        if (text_start_ < p) {
            scratch_.push_back(
                Inline{InlineKind::Text, span(text_start_, p), t_.substr(text_start_, p - text_start_), {}, {}});
            text_start_ = p;
        }
    }
    // Emits a construct found at p that ends just before `end`.
    size_t emit(size_t p, size_t end, const Inline& node) {
        flush_text(p);
        scratch_.push_back(node);
        text_start_ = end;
        return end;
    }

    std::string_view t_;
    size_t n_;
    uint32_t base_;
    int depth_;
    Scratch& scratch_;
    Arena& arena_;
    BlockSink* sink_ = nullptr;
    bool* refused_ = nullptr;
    size_t text_start_ = 0;   // where the pending text run begins
    Memo memos_[kMemoCount];  // each valid only when its bit is set in memos_set_
    unsigned memos_set_ = 0;
};

// A text without any opener is one Text node: the common case of a table cell or an emphasis's content.
Inlines plain_text(std::string_view text, uint32_t base, Arena& arena) {
    auto* node = static_cast<Inline*>(arena.allocate(sizeof(Inline), alignof(Inline)));
    *node = Inline{InlineKind::Text, Span{base, static_cast<uint32_t>(base + text.size())}, text, {}, {}};
    return Inlines(node, 1);
}

Inlines InlineParser::parse() {
    return parse_from(next_opener(0));
}

Inlines InlineParser::parse_from(size_t first) {
    if (first == kNone) return n_ == 0 ? Inlines() : plain_text(t_, base_, arena_);
    const size_t mark = scratch_.size();
    // Everything the arena holds past this point belongs to the nodes above `mark`.
    const Arena::Mark batch_start = arena_.mark();
    bool streamed = false;
    // The nodes above `mark` go to the sink as one batch, and their memory back to the arena.
    auto hand_over = [&] {
        if (!sink_->take_inlines(Inlines(scratch_.data() + mark, scratch_.size() - mark))) *refused_ = true;
        scratch_.truncate(mark);
        arena_.rewind(batch_start);
        streamed = true;
    };
    for (size_t p = first; p != kNone;) {
        const size_t end = recognise(p);
        // An opener that opens nothing stays inside the pending text run.
        p = next_opener(end == kNone ? p + 1 : end);
        if (sink_ != nullptr && scratch_.size() - mark >= kInlineBatch) hand_over();
    }
    flush_text(n_);
    if (!streamed) return take(mark);
    hand_over();
    const void* token = sink_->end_inlines();
    if (token == nullptr) {
        *refused_ = true;
        return {};
    }
    return Inlines::taken(token);
}

size_t InlineParser::recognise(size_t p) {
    switch (t_[p]) {
        case '`':
            return code_span(p);
        case '*':
            if (p + 1 == n_ || t_[p + 1] == ' ') return kNone;
            // When strong declines, emphasis is not tried at the same byte.
            if (t_[p + 1] == '*') return strong(p);
            return emphasis(p);
        case '~':
            return strikethrough(p);
        case '[':
            if (is(p + 1, '^')) return footnote_ref(p);
            if (is(p + 1, '[')) return link(p);
            return kNone;
        case '<':
            return autolink(p);
        default:
            return kNone;
    }
}

size_t InlineParser::code_span(size_t p) {
    const size_t k = memo_byte(kBacktickMemo, '`', p + 1);
    if (k == kNone) return kNone;
    return emit(p, k + 1, Inline{InlineKind::CodeSpan, span(p, k + 1), t_.substr(p + 1, k - p - 1), {}, {}});
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
size_t InlineParser::paired(size_t p, size_t delim_len, size_t close, InlineKind kind) {
    if (close == kNone || depth_ >= kMaxInlineDepth) return kNone;
    const size_t c = p + delim_len;
    flush_text(p);  // before the content's nodes go onto the stack
    const Inlines children =
        InlineParser(t_.substr(c, close - c), static_cast<uint32_t>(base_ + c), depth_ + 1, scratch_, arena_).parse();
    return emit(p, close + delim_len, Inline{kind, span(p, close + delim_len), {}, {}, children});
}

size_t InlineParser::strong(size_t p) {
    if (!(p + 2 < n_) || t_[p + 2] == ' ') return kNone;
    const size_t k = memo_find(kStrongCloseMemo, p + 3, [&](size_t lo) { return scan_double_close('*', lo); });
    return paired(p, 2, k, InlineKind::Strong);
}

size_t InlineParser::emphasis(size_t p) {
    const size_t k = memo_find(kEmphasisCloseMemo, p + 1, [&](size_t lo) { return scan_emphasis_close(lo); });
    return paired(p, 1, k, InlineKind::Emphasis);
}

size_t InlineParser::strikethrough(size_t p) {
    // A single tilde is always text.
    if (!is(p + 1, '~') || !(p + 2 < n_) || t_[p + 2] == ' ') return kNone;
    const size_t k = memo_find(kStrikeCloseMemo, p + 3, [&](size_t lo) { return scan_double_close('~', lo); });
    return paired(p, 2, k, InlineKind::Strikethrough);
}

size_t InlineParser::footnote_ref(size_t p) {
    const size_t k = memo_byte(kBracketMemo, ']', p + 2);
    if (k == kNone) return kNone;
    return emit(p, k + 1, Inline{InlineKind::FootnoteRef, span(p, k + 1), t_.substr(p + 2, k - p - 2), {}, {}});
}

// [[label|url]] or [[target]]; the label is not parsed and is always one Text node, even when empty.
size_t InlineParser::link(size_t p) {
    const size_t c = p + 2;
    const size_t k = memo_find(kLinkCloseMemo, c, [&](size_t lo) { return scan_link_close(lo); });
    if (k == kNone) return kNone;
    const std::string_view content = t_.substr(c, k - c);
    const size_t bar = content.find('|');
    const std::string_view label = bar == std::string_view::npos ? content : content.substr(0, bar);
    const std::string_view url = bar == std::string_view::npos ? content : content.substr(bar + 1);
    flush_text(p);
    const size_t mark = scratch_.size();
    scratch_.push_back(Inline{InlineKind::Text, span(c, c + label.size()), label, {}, {}});
    const Inlines children = take(mark);
    return emit(p, k + 2, Inline{InlineKind::Link, span(p, k + 2), url, std::nullopt, children});
}

// <url>: up to the first ">", holding "://" or beginning with "mailto:", and no space or line feed. Each
// test asks where the next such mark lies after the "<" and compares it with the ">".
size_t InlineParser::autolink(size_t p) {
    const size_t k = memo_byte(kGreaterMemo, '>', p + 1);
    if (k == kNone) return kNone;
    const std::string_view u = t_.substr(p + 1, k - p - 1);
    const size_t mark = memo_find(kSchemeMarkMemo, p + 1, [&](size_t lo) { return scan_scheme_mark(lo); });
    const bool has_scheme_mark = mark != kNone && mark + 3 <= k;
    constexpr std::string_view kMailto = "mailto:";
    if (!has_scheme_mark && u.substr(0, kMailto.size()) != kMailto) return kNone;
    if (memo_byte(kSpaceMemo, ' ', p + 1) < k || memo_byte(kLineFeedMemo, '\n', p + 1) < k) return kNone;
    return emit(p, k + 1, Inline{InlineKind::AutoLink, span(p, k + 1), u, {}, {}});
}

}  // namespace

Inline* InlineStack::release(size_t& mapped) {
    Inline* nodes = data_;
    mapped = mapped_;
    // Shrinking gives the array's unused tail back; where it cannot move, the array stays as it is. A
    // mapping's tail that was never touched costs no memory.
    if (mapped_ == 0 && size_ != 0 && size_ < capacity_) {
        if (void* fitted = std::realloc(static_cast<void*>(data_), size_ * sizeof(Inline))) {
            nodes = static_cast<Inline*>(fitted);
        }
    }
    data_ = nullptr;
    size_ = capacity_ = mapped_ = 0;
    return nodes;
}

void InlineStack::reset() {
    free_block(data_, mapped_);
    data_ = nullptr;
    size_ = capacity_ = mapped_ = 0;
}

void InlineStack::grow() {
    const size_t capacity = capacity_ < 16 ? 16 : 2 * capacity_;
    if (capacity > SIZE_MAX / sizeof(Inline)) throw std::bad_alloc();
    const size_t bytes = capacity * sizeof(Inline);
    // Inline is trivially copyable: its bytes may move with the array.
    void* grown = nullptr;
    if (mapped_ != 0) {
        grown = remap_block(data_, mapped_, bytes);
        if (grown == nullptr) throw std::bad_alloc();
        mapped_ = bytes;
    } else if (bytes >= kMapBlockBytes && (grown = map_block(bytes)) != nullptr) {
        if (size_ != 0) std::memcpy(grown, static_cast<const void*>(data_), size_ * sizeof(Inline));
        std::free(data_);
        mapped_ = bytes;
    } else {
        grown = std::realloc(static_cast<void*>(data_), bytes);
        if (grown == nullptr) throw std::bad_alloc();
    }
    data_ = static_cast<Inline*>(grown);
    capacity_ = capacity;
}

Inlines parse_inlines(std::string_view text, uint32_t base, Arena& arena, Scratch& scratch, BlockSink* sink,
                      bool* refused) {
    if (text.empty()) return {};
    const size_t first = find_opener(text, 0);
    if (first == kNone) return plain_text(text, base, arena);
    // However the parse ends, the stack is left empty (and small).
    struct Reset {
        Scratch& s;
        ~Reset() {
            s.clear();
            if (s.capacity() > kScratchKeep) s.reset();
        }
    } reset{scratch};
    scratch.clear();
    InlineParser parser(text, base, 0, scratch, arena);
    if (sink != nullptr) parser.stream_to(sink, refused);
    return parser.parse_from(first);
}

}  // namespace quillet
