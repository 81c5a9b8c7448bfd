#include "outline.hpp"

#include <algorithm>
#include <cstring>

#include "formats.hpp"
#include "quillet/utf8.hpp"

namespace quillet::writers {
namespace {

// The white space Python's str.strip() removes (str.isspace): a heading's title is stripped as the Python
// tools always stripped it.
bool is_python_space(uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

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
        Walker walk(top);
        open_.clear();
        while (walk.next()) {
            const NodeRef n = walk.node();
            if (is_inline(n.type)) {
                if (walk.event() == Event::Enter && !open_.empty()) inline_node(n);
                continue;
            }
            if (walk.event() == Event::Leave) {
                open_.pop_back();
                continue;
            }
            open_.push_back(add_row(n));
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
        for (const OutlineRow& row : o_.rows) o_.size = std::max(o_.size, row.end);
    }

private:
    PoolText keep(std::string_view s) {
        PoolText t{o_.pool.size(), static_cast<uint32_t>(s.size()), true};
        o_.pool.append(s);
        return t;
    }

    // A node written alone by `writer`, without its final line feeds.
    PoolText written(Writer& writer, NodeRef n) {
        Output out;
        Source source;
        source.form = Source::Form::Node;
        source.nodes = &n;
        source.node_count = 1;
        write(source, writer, out);
        std::string_view s = out.buffer();
        while (!s.empty() && s.back() == '\n') s.remove_suffix(1);
        return keep(s);
    }

    uint64_t add_row(NodeRef n) {
        const uint64_t index = o_.rows.size();
        OutlineRow& row = o_.rows.emplace_back();
        row.type = n.type;
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
        if (plain_) row.plain = written(*plain_, n);
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

    void inline_node(NodeRef n) {
        const uint64_t row = open_.back();
        const Span span = n.span();
        switch (n.type) {
            case NodeType::FootnoteRef:
                o_.footnote_refs.push_back(OutlineRef{keep(*text_at(n, 0)), span.start, span.end, row, false});
                break;
            case NodeType::Link:
            case NodeType::AutoLink:
                o_.links.push_back(
                    OutlineRef{keep(*text_at(n, 0)), span.start, span.end, row, n.type == NodeType::AutoLink});
                break;
            case NodeType::CodeSpan:
                o_.code_spans.push_back(OutlineSpan{span.start, span.end, row});
                break;
            default:
                break;
        }
    }

    Outline& o_;
    Outline::Options options_;
    std::unique_ptr<Writer> plain_;
    std::unique_ptr<Writer> render_;
    std::vector<uint64_t> open_;  // the rows of the open blocks, outermost first
    uint64_t section_ = kNoRow;
    std::string scratch_;
};

}  // namespace

namespace {

// The characters of s[0, n): the bytes that do not continue a UTF-8 sequence, eight at a time.
uint64_t count_chars(const char* s, size_t n) {
    uint64_t continuing = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        // A continuation byte is 10xxxxxx: its top bit set and the next one clear.
        // ...counted by summing the bytes' top bits (each 0 or 1) with one multiplication.
        continuing += (((word & ~(word << 1) & 0x8080808080808080ULL) >> 7) * 0x0101010101010101ULL) >> 56;
    }
    for (; i < n; ++i) continuing += is_utf8_continuation(static_cast<unsigned char>(s[i])) ? 1 : 0;
    return n - continuing;
}

}  // namespace

void Outline::place() {
    const std::string_view t = text;
    std::vector<uint64_t> line_starts{0};
    for (const char* p = t.data(); (p = static_cast<const char*>(std::memchr(p, '\n', t.data() + t.size() - p)));) {
        ++p;
        line_starts.push_back(static_cast<uint64_t>(p - t.data()));
    }
    // The characters before every kStep-th byte; a position counts the rest from there.
    constexpr size_t kStep = 64;
    const bool ascii = ascii_prefix(t.data(), t.size()) == t.size();
    std::vector<uint64_t> marks;
    if (!ascii) {
        marks.reserve(t.size() / kStep + 2);
        uint64_t count = 0;
        for (size_t i = 0; i < t.size(); i += kStep) {
            marks.push_back(count);
            count += count_chars(t.data() + i, std::min(kStep, t.size() - i));
        }
        marks.push_back(count);
    }
    const auto chars = [&](uint64_t at) -> uint64_t {
        if (ascii) return at;
        const size_t mark = at / kStep;
        return marks[mark] + count_chars(t.data() + mark * kStep, at - mark * kStep);
    };
    // Rows come in document order, so their starts never decrease: the line and the characters of a start
    // are counted on from the previous row's. An end is found from its row's start line by galloping.
    const size_t lines = line_starts.size();
    size_t line = 0;  // the index of the line that holds `at`
    uint64_t at = 0, at_chars = 0;
    const auto line_from = [&](size_t from, uint64_t offset) -> size_t {
        size_t step = 1, low = from;
        while (low + step < lines && line_starts[low + step] <= offset) {
            low += step;
            step *= 2;
        }
        return static_cast<size_t>(
                   std::upper_bound(line_starts.begin() + static_cast<std::ptrdiff_t>(low),
                                    line_starts.begin() + static_cast<std::ptrdiff_t>(std::min(lines, low + step)),
                                    offset) -
                   line_starts.begin()) -
               1;
    };
    for (OutlineRow& row : rows) {
        if (row.start >= at) {
            at_chars += ascii ? row.start - at : count_chars(t.data() + at, row.start - at);
            at = row.start;
            line = line_from(line, at);
        } else {  // a caller's tree need not be in order
            at = row.start;
            at_chars = chars(at);
            line = line_from(0, at);
        }
        row.char_start = at_chars;
        row.char_end = chars(row.end);
        row.line = line + 1;
        row.end_line = row.end > row.start ? line_from(line, row.end - 1) + 1 : row.line;
        const uint64_t line_start = line_starts[line];
        row.column = row.char_start -
                     (ascii ? line_start : row.char_start - count_chars(t.data() + line_start, at - line_start)) + 1;
    }
    length = chars(t.size());
    size = t.size();
}

std::unique_ptr<Writer> make_outline_writer(Outline& outline, Outline::Options options) {
    return std::make_unique<OutlineWriter>(outline, options);
}

void outline_parsed(std::string_view input, Outline& outline, Outline::Options options, Profile profile) {
    const std::unique_ptr<Writer> writer = make_outline_writer(outline, options);
    Output unused;
    write_parsed(input, *writer, unused, profile);
    outline.text.assign(input);
    outline.has_text = true;
    outline.place();
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
    outline.text.assign(*text);
    outline.has_text = true;
    outline.place();
    return true;
}

}  // namespace quillet::writers
