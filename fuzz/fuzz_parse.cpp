// libFuzzer harness of the core parser.
//
// Each input that is valid UTF-8 (the binding only ever hands the core the UTF-8 of a Python str) is parsed
// twice. The first tree is walked in full and checked for what must hold of every parse, whatever the input:
//   - every span lies in [0, size] with start <= end, and inside the span of the node that holds it;
//   - siblings come in input order and do not overlap; inline siblings follow one another without gap;
//   - every text is a view into the input, inside its node's span, or one of the few default texts;
//   - every inline node is the bytes of its span: its delimiters at both ends, its text or content exactly
//     the bytes between them;
//   - emphasis, strong and strikethrough nest at most three deep (the scanner's depth guard relies on it);
//   - every error has a span inside the input, a message, and the text form "MESSAGE at bytes S..E";
//     errors come in input order;
//   - the second parse gives the same tree and the same errors (compared through a digest of the walk);
//   - a streamed parse hands over the same blocks, one by one, with the same header and errors.
// A broken check aborts with a message naming the node, so the crash report says what went wrong.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillet/document.hpp"
#include "quillet/errors.hpp"
#include "quillet/parser.hpp"
#include "quillet/utf8.hpp"

namespace {

using namespace quillet;

// Texts the parser may produce that are not slices of the input.
constexpr std::string_view kDefaultTexts[] = {"note"};

[[noreturn]] void fail(const char* what, const char* where, Span span = {}) {
    std::fprintf(stderr, "invariant broken: %s (in %s, span %u..%u)\n", what, where, span.start, span.end);
    std::abort();
}

// Walks one tree, checking every node and folding what it sees into an FNV-1a digest.
class Walker {
public:
    explicit Walker(std::string_view input) : input_(input) {}

    uint64_t digest() const { return hash_; }

    void document(const Document& doc) {
        header(doc);
        block_list(doc.blocks, doc.span, "Document.blocks");
    }

    // Everything of a document but its blocks.
    void header(const Document& doc) {
        if (doc.span.start != 0 || doc.span.end != input_.size()) fail("document span is not 0..size", "Document");
        mix(static_cast<uint64_t>(doc.profile));
        mix(doc.modules.size());
        for (ModuleKind m : doc.modules) mix(static_cast<uint64_t>(m));
        mix(doc.metadata.has_value());
        if (doc.metadata) metadata(*doc.metadata, doc.span);
    }

    // One top-level block, walked on its own (as a streamed parse hands it over).
    void top_block(const Block& b) {
        block(b, Span{0, static_cast<uint32_t>(input_.size())});
        mix(b.span().start);
        mix(b.span().end);
    }

    void errors(const std::vector<ParseError>& errors) {
        mix(errors.size());
        uint32_t last_start = 0;
        for (const ParseError& e : errors) {
            if (!e.span) fail("error without a span", "ParseError");
            span(*e.span, Span{0, static_cast<uint32_t>(input_.size())}, "ParseError");
            if (e.span->start < last_start) fail("errors out of input order", "ParseError", *e.span);
            last_start = e.span->start;
            if (e.message.empty()) fail("error with an empty message", "ParseError", *e.span);
            const std::string shown = e.text();
            const std::string at = " at bytes " + std::to_string(e.span->start) + ".." + std::to_string(e.span->end);
            if (shown != e.message + at) fail("error text is not the message and its span", "ParseError", *e.span);
            if (!e.recoverable) fail("error not recoverable", "ParseError", *e.span);
            if (static_cast<uint8_t>(e.kind) > static_cast<uint8_t>(ParseErrorKind::Other)) {
                fail("error kind out of range", "ParseError", *e.span);
            }
            mix(static_cast<uint64_t>(e.kind));
            mix_bytes(e.message);
        }
    }

    void mix_count(size_t n) { mix(n); }

private:
    void mix(uint64_t v) {
        for (int i = 0; i < 8; ++i) {
            hash_ ^= (v >> (8 * i)) & 0xFF;
            hash_ *= 0x100000001b3ULL;
        }
    }
    void mix_bytes(std::string_view s) {
        mix(s.size());
        for (unsigned char c : s) {
            hash_ ^= c;
            hash_ *= 0x100000001b3ULL;
        }
    }

    // A span inside `outer`, with start <= end.
    void span(Span s, Span outer, const char* where) {
        if (s.start > s.end) fail("span start after end", where, s);
        if (s.end > input_.size()) fail("span beyond the input", where, s);
        if (s.start < outer.start || s.end > outer.end) fail("span outside its parent's span", where, s);
        mix(s.start);
        mix(s.end);
    }

    // Sibling spans in input order, none overlapping the one before.
    void in_order(Span prev, Span next, const char* where) {
        if (next.start < prev.end) fail("sibling starts before the previous one ends", where, next);
    }

    // A text: a view into the input inside `outer`, or a default text. An empty text may point anywhere.
    void text(std::string_view t, Span outer, const char* where) {
        if (t.empty()) {
            mix(0);
            return;
        }
        const auto base = reinterpret_cast<uintptr_t>(input_.data());
        const auto p = reinterpret_cast<uintptr_t>(t.data());
        if (p >= base && p <= base + input_.size()) {
            const uintptr_t start = p - base;
            if (t.size() > input_.size() - start) fail("text runs past the end of the input", where, outer);
            if (start < outer.start || start + t.size() > outer.end) fail("text outside its node's span", where, outer);
            mix(start);
            mix(t.size());
            return;
        }
        for (std::string_view d : kDefaultTexts) {
            if (t.data() == d.data() || t == d) {
                mix_bytes(t);
                return;
            }
        }
        fail("text is neither a view into the input nor a default text", where, outer);
    }

    void opt_text(const OptText& t, Span outer, const char* where) {
        mix(t.has_value());
        if (t) text(*t, outer, where);
    }

    // Metadata values nest without bound, so they are walked with an explicit stack.
    void metadata(const Metadata& meta, Span outer) {
        span(meta.span, outer, "Metadata");
        mix(meta.entries.size());
        std::vector<const AttrValue*> stack;
        for (const MetadataEntry& entry : meta.entries) {
            text(entry.key, meta.span, "Metadata key");
            stack.push_back(&entry.value);
            while (!stack.empty()) {
                const AttrValue& v = *stack.back();
                stack.pop_back();
                mix(static_cast<uint64_t>(v.kind));
                switch (v.kind) {
                    case AttrKind::String:
                        text(v.string, meta.span, "Metadata String");
                        break;
                    case AttrKind::Bool:
                        mix(v.boolean);
                        break;
                    case AttrKind::Int:
                        mix(static_cast<uint64_t>(v.integer));
                        break;
                    case AttrKind::Float: {
                        // NaN payloads aside, equal parses give equal bits.
                        uint64_t bits;
                        static_assert(sizeof bits == sizeof v.number);
                        std::memcpy(&bits, &v.number, sizeof bits);
                        mix(v.number != v.number ? 1 : bits);
                        break;
                    }
                    case AttrKind::List:
                        mix(v.list.size());
                        for (auto it = v.list.rbegin(); it != v.list.rend(); ++it) stack.push_back(&*it);
                        break;
                    default:
                        fail("metadata value kind out of range", "Metadata", meta.span);
                }
            }
        }
    }

    // The bytes input[from, to), or nothing when the range is not inside the input.
    std::string_view slice(size_t from, size_t to) const {
        return from <= to && to <= input_.size() ? input_.substr(from, to - from) : std::string_view{};
    }
    bool same_view(std::string_view a, std::string_view b) const {
        return a.data() == b.data() && a.size() == b.size();
    }
    // The node's first `len` bytes and last `len` bytes are `open` and `close`.
    void delimited(const Inline& n, std::string_view open, std::string_view close, const char* where) {
        if (n.span.len() < open.size() + close.size() || slice(n.span.start, n.span.start + open.size()) != open ||
            slice(n.span.end - close.size(), n.span.end) != close) {
            fail("inline node without its delimiters", where, n.span);
        }
    }

    // A list as the inline scanner returns it: spans that follow one another without gap or overlap, no
    // empty Text and never two Texts in a row.
    void inline_list(const Inlines& list, Span outer, const char* where) {
        mix(list.size());
        const Inline* prev = nullptr;
        for (const Inline& node : list) {
            inline_node(node, outer);
            if (node.kind == InlineKind::Text && node.text.empty()) fail("empty Text node", where, node.span);
            if (prev) {
                if (node.span.start != prev->span.end) fail("gap or overlap between inline siblings", where, node.span);
                if (node.kind == InlineKind::Text && prev->kind == InlineKind::Text) {
                    fail("two Text nodes in a row", where, node.span);
                }
            }
            prev = &node;
        }
    }

    // The content of a paired construct covers exactly the bytes between its delimiters.
    void paired_content(const Inline& n, size_t delim_len, const char* where) {
        if (n.children.empty()) fail("paired construct with no content", where, n.span);
        ++container_depth_;
        // A closer search stops at the first suitable closer, so these constructs nest at most three deep;
        // the scanner's own depth guard relies on it never changing the output.
        if (container_depth_ > 3) fail("emphasis, strong and strikethrough nested more than three deep", where, n.span);
        inline_list(n.children, n.span, where);
        --container_depth_;
        if (n.children.front().span.start != n.span.start + delim_len ||
            n.children.back().span.end != n.span.end - delim_len) {
            fail("content does not cover the bytes between the delimiters", where, n.span);
        }
    }

    void inline_node(const Inline& n, Span outer) {
        if (++depth_ > kMaxWalkDepth) fail("tree deeper than the walker allows", "Inline", n.span);
        mix(static_cast<uint64_t>(n.kind));
        span(n.span, outer, "Inline");
        text(n.text, n.span, "Inline text");
        opt_text(n.title, n.span, "Inline title");
        const bool leaf = n.kind != InlineKind::Emphasis && n.kind != InlineKind::Strong &&
                          n.kind != InlineKind::Strikethrough && n.kind != InlineKind::Link;
        if (leaf && !n.children.empty()) fail("leaf inline with children", "Inline", n.span);
        if (n.kind != InlineKind::Link && n.title) fail("title on a node other than Link", "Inline", n.span);
        const Span s = n.span;
        switch (n.kind) {
            case InlineKind::Text:
                if (!same_view(n.text, slice(s.start, s.end))) fail("Text is not the bytes of its span", "Text", s);
                break;
            case InlineKind::CodeSpan:
                delimited(n, "`", "`", "CodeSpan");
                if (!same_view(n.text, slice(s.start + 1, s.end - 1))) fail("content is not the inside", "CodeSpan", s);
                break;
            case InlineKind::AutoLink:
                delimited(n, "<", ">", "AutoLink");
                if (!same_view(n.text, slice(s.start + 1, s.end - 1))) fail("url is not the inside", "AutoLink", s);
                break;
            case InlineKind::FootnoteRef:
                delimited(n, "[^", "]", "FootnoteRef");
                if (!same_view(n.text, slice(s.start + 2, s.end - 1))) {
                    fail("label is not the inside", "FootnoteRef", s);
                }
                break;
            case InlineKind::Emphasis:
                delimited(n, "*", "*", "Emphasis");
                paired_content(n, 1, "Emphasis");
                break;
            case InlineKind::Strong:
                delimited(n, "**", "**", "Strong");
                paired_content(n, 2, "Strong");
                break;
            case InlineKind::Strikethrough:
                delimited(n, "~~", "~~", "Strikethrough");
                paired_content(n, 2, "Strikethrough");
                break;
            case InlineKind::Link: {
                delimited(n, "[[", "]]", "Link");
                // The label is one Text (possibly empty) at the start of the content; the url ends the content.
                if (n.children.size() != 1 || n.children[0].kind != InlineKind::Text) {
                    fail("Link label is not one Text", "Link", s);
                }
                const Inline& label = n.children[0];
                mix(static_cast<uint64_t>(label.kind));
                span(label.span, s, "Link label");
                text(label.text, label.span, "Link label");
                if (label.span.start != s.start + 2 ||
                    !same_view(label.text, slice(label.span.start, label.span.end))) {
                    fail("Link label is not the start of the content", "Link", s);
                }
                const std::string_view url = n.text;
                if (!url.empty() && url.data() + url.size() != input_.data() + (s.end - 2)) {
                    fail("Link url does not end the content", "Link", s);
                }
                if (n.title) fail("Link with a title", "Link", s);
                break;
            }
            case InlineKind::HardBreak:
            case InlineKind::SoftBreak:
                if (!n.text.empty()) fail("break with content", "Inline", s);
                break;
            default:
                fail("inline kind out of range", "Inline", s);
        }
        --depth_;
    }

    void block_list(const Blocks& list, Span outer, const char* where) {
        mix(list.size());
        for (size_t i = 0; i < list.size(); ++i) {
            block(list[i], outer);
            if (i > 0) in_order(list[i - 1].span(), list[i].span(), where);
        }
    }

    void block(const Block& b, Span outer) {
        const Span s = b.span();
        if (++depth_ > kMaxWalkDepth) fail("tree deeper than the walker allows", "Block", s);
        mix(static_cast<uint64_t>(b.kind()));
        span(s, outer, "Block");
        std::visit([&](const auto& v) { block_body(v); }, b.value);
        --depth_;
    }

    void block_body(const Heading& h) {
        if (h.level < 1 || h.level > 6) fail("heading level out of 1..6", "Heading", h.span);
        mix(h.level);
        inline_list(h.content, h.span, "Heading.content");
        // The heading text runs to the end of the line.
        if (!h.content.empty() && h.content.back().span.end != h.span.end) {
            fail("heading content does not end with the line", "Heading", h.span);
        }
    }
    void block_body(const Paragraph& p) { inline_list(p.content, p.span, "Paragraph.content"); }
    void block_body(const List& l) {
        mix(static_cast<uint64_t>(l.kind));
        mix(l.start.has_value());
        if (l.start) mix(*l.start);
        mix(l.items.size());
        for (size_t i = 0; i < l.items.size(); ++i) {
            span(l.items[i].span, l.span, "ListItem");
            if (i > 0) in_order(l.items[i - 1].span, l.items[i].span, "List.items");
            block_list(l.items[i].blocks, l.items[i].span, "ListItem.blocks");
        }
    }
    void block_body(const CodeBlock& c) {
        text(c.lang, c.span, "CodeBlock.lang");
        text(c.content, c.span, "CodeBlock.content");
    }
    void block_body(const Callout& c) {
        text(c.kind, c.span, "Callout.kind");
        opt_text(c.title, c.span, "Callout.title");
        block_list(c.blocks, c.span, "Callout.blocks");
    }
    void block_body(const Quote& q) { block_list(q.blocks, q.span, "Quote.blocks"); }
    void block_body(const Figure& f) {
        text(f.src, f.span, "Figure.src");
        text(f.alt, f.span, "Figure.alt");
        opt_text(f.caption, f.span, "Figure.caption");
    }
    void block_body(const Table& t) {
        mix(t.rows.size());
        for (size_t i = 0; i < t.rows.size(); ++i) {
            const TableRow& row = t.rows[i];
            span(row.span, t.span, "TableRow");
            if (i > 0) in_order(t.rows[i - 1].span, row.span, "Table.rows");
            mix(row.header);
            mix(row.cells.size());
            for (size_t k = 0; k < row.cells.size(); ++k) {
                span(row.cells[k].span, row.span, "TableCell");
                if (k > 0) in_order(row.cells[k - 1].span, row.cells[k].span, "TableRow.cells");
                inline_list(row.cells[k].content, row.cells[k].span, "TableCell.content");
            }
        }
    }
    void block_body(const Footnotes& f) {
        mix(f.defs.size());
        for (size_t i = 0; i < f.defs.size(); ++i) {
            const FootnoteDef& def = f.defs[i];
            span(def.span, f.span, "FootnoteDef");
            if (i > 0) in_order(f.defs[i - 1].span, def.span, "Footnotes.defs");
            text(def.label, def.span, "FootnoteDef.label");
            block_list(def.blocks, def.span, "FootnoteDef.blocks");
        }
    }
    void block_body(const MathBlock& m) {
        mix(m.display);
        text(m.content, m.span, "MathBlock.content");
    }
    void block_body(const ThematicBreak&) {}
    void block_body(const HtmlBlock& h) { text(h.content, h.span, "HtmlBlock.content"); }
    void block_body(const RawBlock& r) { text(r.content, r.span, "RawBlock.content"); }

    // Guards the walker's own recursion; far above anything the parser builds (blocks hold at most a
    // paragraph level below them, inlines nest at most a few levels).
    static constexpr int kMaxWalkDepth = 64;

    std::string_view input_;
    uint64_t hash_ = 0xcbf29ce484222325ULL;
    int depth_ = 0;
    int container_depth_ = 0;
};

// Walks each block a streamed parse hands over, while its memory is still alive.
class WalkingSink final : public BlockSink {
public:
    explicit WalkingSink(Walker& walker) : walker_(walker) {}
    bool take(Block&& block) override {
        walker_.top_block(block);
        ++count_;
        return true;
    }
    size_t count() const { return count_; }

private:
    Walker& walker_;
    size_t count_ = 0;
};

// A streamed parse must hand over exactly the blocks a whole parse keeps, with the same header and errors:
// both are digested in the order a stream allows (the blocks, their number, the header, the errors).
void check_streaming(std::string_view input) {
    Parser whole_parser;
    const Document whole = whole_parser.parse_internal(input);
    Walker expected(input);
    for (const Block& b : whole.blocks) expected.top_block(b);
    expected.mix_count(whole.blocks.size());
    expected.header(whole);
    expected.errors(whole_parser.errors);

    Parser streaming_parser;
    Walker streamed(input);
    WalkingSink sink(streamed);
    const Document rest = streaming_parser.parse_streaming(input, sink);
    if (!rest.blocks.empty()) fail("a streamed parse kept blocks", "Document");
    streamed.mix_count(sink.count());
    streamed.header(rest);
    streamed.errors(streaming_parser.errors);
    if (expected.digest() != streamed.digest()) {
        fail("a streamed parse differs from a whole one", "Document", Span{0, static_cast<uint32_t>(input.size())});
    }
}

uint64_t parse_and_check(std::string_view input) {
    Parser parser;
    parser.report_unknown_directives = true;
    const Document doc = parser.parse_internal(input);
    Walker walker(input);
    walker.document(doc);
    walker.errors(parser.errors);
    return walker.digest();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!is_valid_utf8(input)) return -1;  // never reached through the binding; keep out of the corpus
    const uint64_t first = parse_and_check(input);
    const uint64_t second = parse_and_check(input);
    if (first != second) fail("two parses of one input differ", "Document", Span{0, static_cast<uint32_t>(size)});
    check_streaming(input);
    return 0;
}
