#include "outline.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "../core/src/header.hpp"
#include "formats.hpp"
#include "quillet/utf8.hpp"
#include "text_util.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillet::writers {

bool is_python_space(uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

namespace {

std::string_view python_strip(std::string_view s) {
    size_t begin = 0;
    while (begin < s.size()) {
        size_t length = 0;
        const uint32_t c = read_utf8(s, begin, length);
        if (!is_python_space(c)) break;
        begin += length;
    }
    size_t end = s.size();
    while (end > begin) {
        const size_t at = last_utf8_start(s.substr(0, end));
        size_t length = 0;
        if (!is_python_space(read_utf8(s, at, length))) break;
        end = at;
    }
    return s.substr(begin, end - begin);
}

class OutlineWriter final : public Writer {
public:
    OutlineWriter(Outline& outline, Outline::Options options) : o_(outline), options_(options) {
        if (options.plain) plain_ = make_text_writer({});
        if (options.render == Outline::Render::Text) render_ = make_text_writer({});
        if (options.render == Outline::Render::Markdown) render_ = make_markdown_writer({});
    }

    void begin(const Source& source, Output&) override {
        const DocumentView& doc = source.document;
        o_.profile = doc.profile;
        o_.modules.assign(doc.modules, doc.modules + doc.module_count);
    }

    void node(NodeRef top, size_t, Output&) override {
        open_.clear();
        if (options_.top_only && !options_.inline_facts) {
            add_row(top);
            return;
        }
        // A block of inline text alone (a paragraph, a heading: most top-level blocks) needs no walk.
        const size_t top_count = child_count(top);
        if (top_count == 0 || is_inline(child_at(top, 0).type)) {
            open_.push_back(add_row(top));
            block_facts(top, open_.back());
            if (top_count > 0) scan_inlines(&child_at(top, 0).as<Inline>(), top_count);
            if (plain_ && !options_.top_only) plain_leave(top);
            return;
        }
        Walker walk(top);
        while (walk.next()) {
            if (walk.event() == Event::Leave) {
                // With top_only, the top-level row's plain text was written whole when it was added.
                if (plain_ && !options_.top_only) plain_leave(walk.node());
                open_.pop_back();
                continue;
            }
            const NodeRef n = walk.node();
            // With top_only, what a nested block holds belongs to its top-level row.
            const uint32_t row = options_.top_only && !open_.empty() ? open_.front() : add_row(n);
            open_.push_back(row);
            block_facts(n, row);
            // A block's inline text is read here, not walked node by node: its children are one array.
            const size_t count = child_count(n);
            if (count > 0) {
                const NodeRef first = child_at(n, 0);
                if (is_inline(first.type)) {
                    scan_inlines(&first.as<Inline>(), count);
                    walk.skip_children();
                }
            }
        }
    }

    void end(const Source& source, Output&) override {
        for (size_t i = 0; i < source.error_count; ++i) {
            const ParseError& e = source.errors[i];
            o_.errors.push_back(OutlineError{e.kind, error_code(e.kind, e.message), e.message, e.span});
        }
        if (source.form == Source::Form::Result || source.form == Source::Form::Document) {
            o_.size = source.document.span.end;
        }
        for (const OutlineRow& row : o_.rows) o_.size = std::max<uint64_t>(o_.size, row.end);
    }

private:
    PoolText keep(std::string_view s) {
        if (s.size() >= UINT32_MAX) throw std::length_error("a text of the outline exceeds 4 GiB");
        const uint64_t at = o_.pool.size();
        o_.pool.append(s);
        return PoolText{uint32_t(at), uint32_t(at >> 32), uint32_t(s.size())};
    }

    // A node written alone by `writer`, without its final line feeds (into one buffer, reused).
    PoolText written(Writer& writer, NodeRef n) {
        scratch_out_.buffer().clear();
        Source source;
        source.form = Source::Form::Node;
        source.nodes = &n;
        source.node_count = 1;
        write(source, writer, scratch_out_);
        std::string_view s = scratch_out_.buffer();
        while (!s.empty() && s.back() == '\n') s.remove_suffix(1);
        return keep(s);
    }

    uint32_t add_row(NodeRef n) {
        if (o_.rows.size() >= kNoRow) throw std::length_error("too many blocks for an outline");
        const auto index = static_cast<uint32_t>(o_.rows.size());
        OutlineRow& row = o_.rows.emplace_back();
        row.type = n.type;
        o_.by_type[size_t(n.type)].push_back(index);
        row.depth = static_cast<uint32_t>(open_.size());
        row.parent = open_.empty() ? kNoRow : open_.back();
        const Span span = n.span();
        row.start = span.start;
        row.end = span.end;
        const size_t texts = node_info(n.type).text_count();
        for (size_t place = 0; place < texts && place < kMaxRowTexts; ++place) {
            if (const OptText t = text_at(n, place)) row.texts[place] = keep(*t);
        }
        row.level = scalar_of<uint8_t>(n);
        row.list_kind = scalar_of<ListKind>(n);
        row.list_start = scalar_of<std::optional<uint64_t>>(n);
        row.flag = scalar_of<bool>(n);
        if (open_.empty()) {
            o_.top.push_back(index);
            if (n.type == NodeType::Heading) section_ = index;
            if (render_) row.rendered = written(*render_, n);
        }
        row.section = section_;
        if (n.type == NodeType::Heading) row.title = title(n);
        if (n.type == NodeType::Table) {
            const size_t count = child_count(n);
            row.table_rows = static_cast<uint32_t>(count);
            for (size_t i = 0; i < count; ++i) {
                row.table_cols = std::max(row.table_cols, static_cast<uint32_t>(child_count(child_at(n, i))));
            }
        }
        if (plain_) plain_enter(n, row);
        return index;
    }

    // The text a reader sees in a heading: markup dropped, a link's label kept, an autolink's address,
    // a line break as a space, footnote references left out; stripped.
    PoolText title(NodeRef heading) {
        scratch_.clear();
        Walker walk(heading);
        while (walk.next()) {
            if (walk.event() != Event::Enter || walk.depth() == 0) continue;
            const NodeRef n = walk.node();
            switch (n.type) {
                case NodeType::Text:
                case NodeType::CodeSpan:
                case NodeType::AutoLink:
                    scratch_.append(*text_at(n, 0));
                    break;
                case NodeType::HardBreak:
                case NodeType::SoftBreak:
                    scratch_.push_back(' ');
                    break;
                default:
                    break;
            }
        }
        return keep(python_strip(scratch_));
    }

    // A footnote definition or a figure, listed apart with the row that holds it.
    void block_facts(NodeRef n, uint32_t row) {
        if (n.type == NodeType::FootnoteDef) {
            const auto& def = n.as<FootnoteDef>();
            o_.footnote_defs.push_back(
                OutlineRef{.text = keep(def.label), .start = def.span.start, .end = def.span.end, .row = row});
        } else if (n.type == NodeType::Figure) {
            const auto& figure = n.as<Figure>();
            o_.figures.push_back(
                OutlineRef{.text = keep(figure.src), .start = figure.span.start, .end = figure.span.end, .row = row});
        }
    }

    // What the tools read of a block's inline text, in document order: footnote references, links, code spans
    // and the "[[" that stay text. An explicit stack of sibling runs, so that nesting costs heap, not C stack.
    void scan_inlines(const Inline* first, size_t count) {
        const uint32_t row = open_.back();
        runs_.clear();
        runs_.push_back(Run{first, first + count, false});
        while (!runs_.empty()) {
            Run& run = runs_.back();
            if (run.at == run.end) {
                runs_.pop_back();
                continue;
            }
            const Inline& n = *run.at++;
            const Span span = n.span;
            switch (n.kind) {
                case InlineKind::Text:
                    // A "[[" that no "]]" closes stays text; a link's label is text that opens nothing.
                    if (!run.in_link) unopened(n.text, span.start);
                    break;
                case InlineKind::FootnoteRef:
                    o_.footnote_refs.push_back(
                        OutlineRef{.text = keep(n.text), .start = span.start, .end = span.end, .row = row});
                    break;
                case InlineKind::Link:
                case InlineKind::AutoLink:
                    o_.links.push_back(OutlineRef{.text = keep(n.text),
                                                  .start = span.start,
                                                  .end = span.end,
                                                  .row = row,
                                                  .autolink = n.kind == InlineKind::AutoLink});
                    break;
                case InlineKind::CodeSpan:
                    o_.code_spans.push_back(OutlineSpan{span.start, span.end, row});
                    break;
                default:
                    break;
            }
            if (!n.children.empty()) {
                runs_.push_back(Run{n.children.begin(), n.children.end(), n.kind == InlineKind::Link});
            }
        }
    }

    void unopened(std::string_view t, uint32_t start) {
        const char* const base = t.data();
        const char* const stop = base + t.size();
        for (const char* p = base; p + 1 < stop;) {
            p = static_cast<const char*>(std::memchr(p, '[', static_cast<size_t>(stop - 1 - p)));
            if (p == nullptr) break;
            if (p[1] == '[') {
                o_.unopened_links.push_back(static_cast<uint32_t>(start + (p - base)));
                p += 2;
            } else {
                p += 1;
            }
        }
    }

    struct Run {  // the inline siblings still to read, and whether they are a link's label
        const Inline* at;
        const Inline* end;
        bool in_link;
    };

    // ---------------------------------------------------------------------------------- the plain text
    //
    // Every row's text is the text writer's of its block written alone. A block of inline text (or a
    // figure) is laid out here as that writer lays it out; the other blocks without blocks inside (code,
    // math, HTML, raw) are written by it. A container's text is laid out from its children's, as the
    // writer lays them out in it; a container whose children would be laid out otherwise inside it (a
    // line break in a list item's or a cell's text, footnotes inside, items nested deeply) is written
    // by the writer instead.

    // What a row tells the container it is in, once its text is known.
    struct PlainChild {
        uint32_t row = 0;
        NodeType type = NodeType::Paragraph;
        bool breaks = false;     // its text, outside a list item, had a line break
        bool ends_clean = true;  // its text ends with no space, tab or carriage return held back
        bool notes = false;      // a footnote definition lies below it
        uint32_t nesting = 0;    // the most list items and footnote definitions inside one another, itself included
    };

    void plain_enter(NodeRef n, OutlineRow& row) {
        if (options_.top_only) {
            row.plain = written(*plain_, n);
            return;
        }
        plain_marks_.push_back(static_cast<uint32_t>(plain_children_.size()));
    }

    void plain_leave(NodeRef n) {
        const uint32_t index = open_.back();
        const size_t mark = plain_marks_.back();
        plain_marks_.pop_back();
        PlainChild self{index, n.type, false, true, false, 0};
        const PlainChild* kids = plain_children_.data() + mark;
        const size_t count = plain_children_.size() - mark;
        for (size_t i = 0; i < count; ++i) {
            self.breaks = self.breaks || kids[i].breaks;
            self.notes = self.notes || kids[i].notes || kids[i].type == NodeType::FootnoteDef;
            self.nesting = std::max(self.nesting, kids[i].nesting);
        }
        const bool nests = n.type == NodeType::ListItem || n.type == NodeType::FootnoteDef;
        if (nests) ++self.nesting;
        PoolText text;
        if (n.type == NodeType::Callout) {
            const OptText title = text_at(n, 1);
            if (title && title->find('\n') != std::string_view::npos) self.breaks = true;
        }
        if (!has_block_children(n.type)) {
            text = inline_text(n, self) ? keep(plain_buf_) : written(*plain_, n);
        } else if (laid_out(n, kids, count, self)) {
            text = keep(plain_buf_);
        } else {
            text = written(*plain_, n);
        }
        // A list item's text is laid out as inside a list item wherever it stands.
        if (n.type == NodeType::ListItem) self.breaks = false;
        o_.rows[index].plain = text;
        plain_children_.resize(mark);
        if (!plain_marks_.empty()) plain_children_.push_back(self);
    }

    static bool has_block_children(NodeType type) {
        switch (type) {
            case NodeType::List:
            case NodeType::ListItem:
            case NodeType::Callout:
            case NodeType::Quote:
            case NodeType::Table:
            case NodeType::TableRow:
            case NodeType::Footnotes:
            case NodeType::FootnoteDef:
                return true;
            default:
                return false;
        }
    }

    static bool held_back(char c) { return c == ' ' || c == '\t' || c == '\r'; }

    // The text of a block of inline text (or a figure's), into plain_buf_, as the text writer lays it out
    // when it writes the block alone: the pieces one after another, split at their line feeds; a line's
    // leading spaces and tabs dropped from prose; the spaces, tabs and carriage returns at a piece's end
    // held back until something follows on the line; one line feed for any run of line breaks. Sets
    // `self.breaks` when a line breaks (a list item lays such a text out otherwise) and `self.ends_clean`.
    // False for any other block: the text writer writes it.
    bool inline_text(NodeRef block, PlainChild& self) {
        plain_buf_.clear();
        plain_held_.clear();
        bool fresh = true;       // at a line's start: prose drops its leading spaces and tabs
        bool line_feed = false;  // a line broke since the last text written
        const auto part = [&](std::string_view s, bool prose) {  // a piece of one line
            if (fresh && prose) {
                while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
            }
            size_t end = s.size();
            while (end > 0 && held_back(s[end - 1])) --end;
            if (end > 0) {
                if (line_feed && !plain_buf_.empty()) plain_buf_.push_back('\n');
                plain_buf_.append(plain_held_).append(s.substr(0, end));
                plain_held_.clear();
                fresh = line_feed = false;
            }
            plain_held_.append(s.substr(end));
        };
        const auto break_line = [&] {
            plain_held_.clear();
            fresh = line_feed = self.breaks = true;
        };
        const auto piece = [&](std::string_view s, bool prose) {
            for (;;) {
                const size_t lf = s.find('\n');
                part(s.substr(0, lf), prose);
                if (lf == std::string_view::npos) return;
                break_line();
                s.remove_prefix(lf + 1);
            }
        };
        Inlines content;
        switch (block.type) {
            case NodeType::Figure: {
                const Figure& figure = block.as<Figure>();
                piece(figure.caption && !figure.caption->empty() ? *figure.caption : figure.alt, true);
                self.ends_clean = plain_held_.empty();
                return true;
            }
            case NodeType::Heading:
                content = block.as<Heading>().content;
                break;
            case NodeType::Paragraph:
                content = block.as<Paragraph>().content;
                break;
            case NodeType::TableCell:
                content = block.as<TableCell>().content;
                break;
            default:
                return false;  // verbatim, or nothing
        }
        // In document order, with a stack of the inline lists entered (they nest as deep as a caller's tree).
        plain_inlines_.assign(1, {content.begin(), content.end()});
        while (!plain_inlines_.empty()) {
            auto& [at, end] = plain_inlines_.back();
            if (at == end) {
                plain_inlines_.pop_back();
                continue;
            }
            const Inline& n = *at++;
            switch (n.kind) {
                case InlineKind::Text:
                    piece(n.text, true);
                    break;
                case InlineKind::CodeSpan:
                case InlineKind::AutoLink:
                    piece(n.text, false);
                    break;
                case InlineKind::FootnoteRef:
                    piece("[", false);
                    piece(n.text, false);
                    piece("]", false);
                    break;
                case InlineKind::HardBreak:
                case InlineKind::SoftBreak:
                    break_line();
                    break;
                case InlineKind::Emphasis:
                case InlineKind::Strong:
                case InlineKind::Strikethrough:
                case InlineKind::Link:  // its label; the plain text writes no URL
                    if (!n.children.empty()) plain_inlines_.push_back({n.children.begin(), n.children.end()});
                    break;
            }
        }
        self.ends_clean = plain_held_.empty();
        return true;
    }

    // Lays out a container's text from its children's into plain_buf_; false when the text writer must
    // write it.
    bool laid_out(NodeRef n, const PlainChild* kids, size_t count, const PlainChild& self) {
        // Far below the depth at which the text writer stops indenting.
        constexpr uint32_t kLaidOutNesting = 8;
        if (self.nesting > kLaidOutNesting) return false;
        plain_buf_.clear();
        switch (n.type) {
            case NodeType::Footnotes:
                for (size_t i = 0; i < count; ++i) {
                    if (kids[i].type != NodeType::FootnoteDef) return false;
                    if (i > 0) plain_buf_.push_back('\n');
                    plain_buf_.append(o_.view(o_.rows[kids[i].row].plain));
                }
                return true;
            case NodeType::List: {
                const OutlineRow& row = o_.rows[open_.back()];
                std::string number;
                if (row.list_kind == ListKind::Ordered) number = std::to_string(row.list_start.value_or(1));
                for (size_t i = 0; i < count; ++i) {
                    if (kids[i].type != NodeType::ListItem) return false;
                    std::string_view item = o_.view(o_.rows[kids[i].row].plain);
                    if (i > 0) plain_buf_.push_back('\n');
                    if (!number.empty() && !item.empty()) {  // "- " becomes "3. "
                        plain_buf_.append(number).push_back('.');
                        item.remove_prefix(1);
                        increment(number);
                    }
                    plain_buf_.append(item);
                }
                return true;
            }
            case NodeType::TableRow:
                for (size_t i = 0; i < count; ++i) {
                    if (kids[i].type != NodeType::TableCell || kids[i].breaks) return false;
                    if (i + 1 < count && !kids[i].ends_clean) return false;
                }
                return row_text(kids, count);
            case NodeType::ListItem:
            case NodeType::FootnoteDef: {
                if (self.notes || (n.type == NodeType::ListItem && self.breaks)) return false;
                if (n.type == NodeType::ListItem) {
                    plain_buf_.push_back('-');
                } else {
                    plain_buf_.push_back('[');
                    plain_buf_.append(*text_at(n, 0)).push_back(']');
                }
                const size_t marker = plain_buf_.size();
                if (!blocks_text(kids, count, false)) return false;
                if (plain_buf_.size() > marker) indent_after(marker);
                return true;
            }
            case NodeType::Callout: {
                if (self.notes) return false;
                bool titled = false;
                if (const OptText title = text_at(n, 1)) {
                    std::string_view t = *title;
                    if (t.find('\n') != std::string_view::npos) return false;
                    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
                    while (!t.empty() && held_back(t.back())) t.remove_suffix(1);
                    plain_buf_.append(t);
                    titled = !t.empty();
                }
                return blocks_text(kids, count, titled);
            }
            case NodeType::Quote:
            case NodeType::Table:
                return !self.notes && blocks_text(kids, count, false);
            default:
                return false;
        }
    }

    // The children's texts one after another: a line break before a list item or a table row, a blank
    // line before anything else, nothing before the first text (or `written` when something was already
    // written in the container); an empty text takes no place.
    bool blocks_text(const PlainChild* kids, size_t count, bool written) {
        int breaks = 0;
        for (size_t i = 0; i < count; ++i) {
            const NodeType type = kids[i].type;
            if (type == NodeType::TableCell || type == NodeType::FootnoteDef) return false;
            if (written) breaks = std::max(breaks, type == NodeType::ListItem || type == NodeType::TableRow ? 1 : 2);
            const std::string_view t = o_.view(o_.rows[kids[i].row].plain);
            if (t.empty()) continue;
            if (written) plain_buf_.append(size_t(breaks), '\n');
            plain_buf_.append(t);
            breaks = 0;
            written = true;
        }
        return true;
    }

    // A row's cells: " | " between them, the spaces before it held back while a cell is empty.
    bool row_text(const PlainChild* kids, size_t count) {
        size_t held = 0;  // spaces not yet written
        for (size_t i = 0; i < count; ++i) {
            if (i > 0) {
                plain_buf_.append(held + 1, ' ').push_back('|');
                held = 1;
            }
            const std::string_view t = o_.view(o_.rows[kids[i].row].plain);
            if (t.empty()) continue;
            plain_buf_.append(held, ' ').append(t);
            held = 0;
        }
        return true;
    }

    // The item's or definition's text after its marker: a space, then its lines after the first indented
    // by two spaces (blank lines stay empty).
    void indent_after(size_t marker) {
        plain_scratch_.assign(plain_buf_, marker, std::string::npos);
        plain_buf_.resize(marker);
        plain_buf_.push_back(' ');
        std::string_view rest = plain_scratch_;
        for (;;) {
            const size_t lf = rest.find('\n');
            if (lf == std::string_view::npos) {
                plain_buf_.append(rest);
                return;
            }
            plain_buf_.append(rest.substr(0, lf + 1));
            rest.remove_prefix(lf + 1);
            if (!rest.empty() && rest.front() != '\n') plain_buf_.append("  ");
        }
    }

    Outline& o_;
    Outline::Options options_;
    std::unique_ptr<Writer> plain_;
    std::vector<uint32_t> plain_marks_;       // per open block: where its children start in plain_children_
    std::vector<PlainChild> plain_children_;  // the children of the open blocks whose text is known
    std::string plain_buf_, plain_scratch_;
    std::vector<std::pair<const Inline*, const Inline*>> plain_inlines_;
    std::string plain_held_;  // the spaces, tabs and carriage returns held back
    std::unique_ptr<Writer> render_;
    std::vector<uint32_t> open_;  // the rows of the open blocks, outermost first
    std::vector<Run> runs_;
    uint32_t section_ = kNoRow;
    std::string scratch_;
    Output scratch_out_;
};

}  // namespace

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// The sum of the bytes of a word whose bytes are each 0 or 1.
inline uint64_t byte_sum(uint64_t word) {
    return (word * kOnes) >> 56;
}

// What the positions of a row need counted in s[0, n): its characters (the bytes that do not continue a
// UTF-8 sequence) and its line feeds; sixteen bytes at a time with SSE2, else eight.
struct Counts {
    uint64_t chars = 0;
    uint64_t newlines = 0;
};
Counts count(const char* s, size_t n) {
    uint64_t continuing = 0, newlines = 0;
    size_t i = 0;
#if defined(__SSE2__)
    // Each lane of the two accumulators counts down by one per byte found (a compare gives -1), at most 255
    // times before the lanes are summed.
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i below_lead = _mm_set1_epi8(static_cast<char>(0xC0));  // 10xxxxxx is below it, signed
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= n) {
        __m128i cont = zero, nl = zero;
        const size_t stop = i + std::min<size_t>((n - i) / 16, 255) * 16;
        for (; i < stop; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            cont = _mm_add_epi8(cont, _mm_cmplt_epi8(v, below_lead));
            nl = _mm_add_epi8(nl, _mm_cmpeq_epi8(v, newline));
        }
        // 0 - lane is the lane's count; psadbw sums the bytes of each half.
        const __m128i c = _mm_sad_epu8(_mm_sub_epi8(zero, cont), zero);
        const __m128i l = _mm_sad_epu8(_mm_sub_epi8(zero, nl), zero);
        continuing += uint64_t(_mm_cvtsi128_si64(c)) + uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(c, c)));
        newlines += uint64_t(_mm_cvtsi128_si64(l)) + uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(l, l)));
    }
#endif
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        // A continuation byte is 10xxxxxx: its top bit set and the next one clear.
        continuing += byte_sum((word & ~(word << 1) & kHighs) >> 7);
        // A line feed is a byte of the word XOR "\n\n..." that is zero.
        const uint64_t x = word ^ (kOnes * '\n');
        newlines += byte_sum((~(((x & ~kHighs) + ~kHighs) | x) & kHighs) >> 7);
    }
    for (; i < n; ++i) {
        continuing += is_utf8_continuation(static_cast<unsigned char>(s[i])) ? 1 : 0;
        newlines += s[i] == '\n' ? 1 : 0;
    }
    return Counts{n - continuing, newlines};
}

// An index of a text's lines and characters for positions met out of order: the start of every line,
// the characters before every kStep-th byte.
class TextIndex {
public:
    explicit TextIndex(std::string_view t) : t_(t) {
        starts_.push_back(0);
        for (const char* p = t.data(); (p = static_cast<const char*>(std::memchr(p, '\n', t.end() - p)));) {
            starts_.push_back(static_cast<uint64_t>(++p - t.data()));
        }
        uint64_t chars = 0;
        for (size_t i = 0; i < t.size(); i += kStep) {
            marks_.push_back(chars);
            chars += count(t.data() + i, std::min(kStep, t.size() - i)).chars;
        }
        marks_.push_back(chars);
    }
    uint64_t chars(uint64_t at) const {
        const size_t mark = at / kStep;
        return marks_[mark] + count(t_.data() + mark * kStep, at - mark * kStep).chars;
    }
    // The line that holds `at`, from 0.
    uint64_t line(uint64_t at) const {
        return static_cast<uint64_t>(std::upper_bound(starts_.begin(), starts_.end(), at) - starts_.begin()) - 1;
    }
    uint64_t line_start(uint64_t line) const { return starts_[line]; }

private:
    static constexpr size_t kStep = 64;
    std::string_view t_;
    std::vector<uint64_t> starts_;
    std::vector<uint64_t> marks_;
};

}  // namespace

void Outline::place(std::string_view t) {
    // Rows come in document order, so their starts never decrease: a start's characters, line and line
    // start are counted on from the previous row's. A row's end is counted from its start while the bytes
    // counted so far stay within a few times the text (always, when rows do not nest deeply); beyond, and
    // for a caller's tree out of order, an index answers.
    std::unique_ptr<TextIndex> index;
    const auto indexed = [&]() -> const TextIndex& {
        if (!index) index = std::make_unique<TextIndex>(t);
        return *index;
    };
    const uint64_t budget = 4 * uint64_t(t.size()) + (1 << 20);
    uint64_t scanned = 0;
    uint64_t at = 0, at_chars = 0, line = 0, line_start = 0, line_start_chars = 0;
    // Where the last row counted whole ends, with what is known there: a row that starts there or after (the
    // next top-level block) is counted on from it, so that the text between two starts is not counted twice.
    struct Cursor {
        uint64_t at = 0, chars = 0, line = 0, line_start = 0, line_start_chars = 0;
    };
    Cursor after;  // at 0: none
    const auto take = [&](const Cursor& c) {
        at = c.at;
        at_chars = c.chars;
        line = c.line;
        line_start = c.line_start;
        line_start_chars = c.line_start_chars;
    };
    for (OutlineRow& row : rows) {
        if (after.at > at && row.start >= after.at) take(after);
        after = Cursor{};
        if (row.start >= at) {
            const Counts step = count(t.data() + at, row.start - at);
            if (step.newlines) {
                line += step.newlines;
                line_start = static_cast<uint64_t>(
                    static_cast<const char*>(memrchr(t.data() + at, '\n', row.start - at)) - t.data() + 1);
                line_start_chars = at_chars + step.chars - count(t.data() + line_start, row.start - line_start).chars;
            }
            at_chars += step.chars;
            at = row.start;
        } else {
            const TextIndex& i = indexed();
            at = row.start;
            at_chars = i.chars(at);
            line = i.line(at);
            line_start = i.line_start(line);
            line_start_chars = i.chars(line_start);
        }
        row.char_start = uint32_t(at_chars);
        row.line = uint32_t(line + 1);
        row.column = uint32_t(at_chars - line_start_chars + 1);
        const uint64_t bytes = row.end > row.start ? row.end - row.start : 0;
        if (scanned + bytes <= budget) {
            scanned += bytes;
            const Counts body = count(t.data() + row.start, bytes);
            const bool ends_line = bytes > 0 && t[row.end - 1] == '\n';
            row.char_end = uint32_t(at_chars + body.chars);
            row.end_line = uint32_t(line + 1 + body.newlines - (ends_line ? 1 : 0));
            Cursor end{row.end, at_chars + body.chars, line + body.newlines, line_start, line_start_chars};
            if (body.newlines) {  // the row's last line starts after its last line feed: a short scan back
                end.line_start = static_cast<uint64_t>(
                    static_cast<const char*>(memrchr(t.data() + row.start, '\n', bytes)) - t.data() + 1);
                end.line_start_chars = end.chars - count(t.data() + end.line_start, row.end - end.line_start).chars;
            }
            after = end;
        } else {
            const TextIndex& i = indexed();
            row.char_end = uint32_t(i.chars(row.end));
            row.end_line = bytes > 0 ? uint32_t(i.line(row.end - 1) + 1) : row.line;
        }
    }
    // The footnote definitions' characters: in order, counted on from the one before; out of order (a
    // caller's tree), from the index.
    uint64_t def_at = 0, def_chars = 0;
    const auto chars_at = [&](uint64_t offset) -> uint32_t {
        if (offset < def_at) return uint32_t(indexed().chars(offset));
        def_chars += count(t.data() + def_at, offset - def_at).chars;
        def_at = offset;
        return uint32_t(def_chars);
    };
    for (OutlineRef& def : footnote_defs) {
        def.char_start = chars_at(def.start);
        def.char_end = chars_at(def.end);
    }
    if (after.at > at) take(after);
    length = at_chars + count(t.data() + at, t.size() - at).chars;
    size = t.size();
    // The header's text: what comes before the first block, and the lines the header reads that are a
    // block too (a profile line with an unknown name is a paragraph), up to their line end.
    uint64_t header_end = rows.empty() ? t.size() : rows.front().start;
    const Header header = read_header(t);
    if (header.profile) header_end = std::max<uint64_t>(header_end, header.profile->span.end);
    if (header.modules) header_end = std::max<uint64_t>(header_end, header.modules->span.end);
    if (header.metadata) header_end = std::max<uint64_t>(header_end, header.metadata->span.end);
    if (header_end > 0 && header_end < t.size() && t[header_end - 1] != '\n') {
        const size_t nl = t.find('\n', header_end);
        header_end = nl == std::string_view::npos ? t.size() : nl + 1;
    }
    header_text.assign(t.substr(0, header_end));
    has_text = true;
}

std::unique_ptr<Writer> make_outline_writer(Outline& outline, Outline::Options options) {
    return std::make_unique<OutlineWriter>(outline, options);
}

void outline_parsed(std::string_view input, Outline& outline, Outline::Options options, Profile profile) {
    const std::unique_ptr<Writer> writer = make_outline_writer(outline, options);
    // Room for a row every 16 bytes (more than real documents have) up to a cap, so that the rows of most
    // documents are never copied as they grow; pages of the reserve that no row reaches are never touched.
    constexpr size_t kReservedRows = size_t(1) << 19;
    outline.rows.reserve(std::min(input.size() / 16 + 16, kReservedRows));
    Output unused;
    write_parsed(input, *writer, unused, profile);
    outline.place(input);
}

bool outline_tree(const Source& source, const std::optional<std::string_view>& text, Outline& outline,
                  Outline::Options options) {
    const std::unique_ptr<Writer> writer = make_outline_writer(outline, options);
    Output unused;
    write(source, *writer, unused);
    if (!text) return true;
    for (const OutlineRow& row : outline.rows) {
        if (row.end > text->size() || row.start > row.end) return false;
    }
    for (const OutlineRef& def : outline.footnote_defs) {
        if (def.end > text->size() || def.start > def.end) return false;
    }
    outline.place(*text);
    return true;
}

}  // namespace quillet::writers
