// Plain text: the words a reader sees, in document order, and none of the markup.
//
// Layout: blocks are separated by exactly one blank line; list items, table rows and footnote definitions
// by a line break. A list item starts with "- " or "N. " and its further lines are indented by two spaces.
// Quotes and callouts are their paragraphs (a callout's title first, as a line of its own). Footnote
// definitions are gathered aside and written after everything else as "[label] text". Verbatim blocks keep
// their lines and indentation but lose their leading and trailing blank lines. No line ends in a space, a
// tab or a carriage return; the output ends with one line feed, or is empty.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats.hpp"
#include "lines.hpp"
#include "text_util.hpp"

namespace quillet::writers {
namespace {

bool is_blank_byte(char c) {
    return c == ' ' || c == '\t';
}
// What a line may not end with.
bool is_trailing_byte(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim_left(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && is_blank_byte(s[i])) ++i;
    return s.substr(i);
}

// How text is laid into lines.
enum class Mode : uint8_t {
    Prose,     // source text: the indentation of its lines goes, several line feeds make one line break
    AsIs,      // code spans, URLs, labels: kept, but a line feed is still one line break
    Verbatim,  // code and other verbatim blocks: every line feed is a line break, indentation stays
};

// Items inside items indent no further than this: a tree rebuilt by a caller may nest them without bound,
// and every line repeats the indentation.
constexpr size_t kMaxIndentDepth = 16;

// One stream of lines (the body, or the footnote definitions gathered aside). Line breaks, indentation and
// the spaces at the end of a line are held back until something visible follows them, so nothing written
// ever has to be taken back, and a streaming Output may hand its buffer on at any time.
class Lines {
public:
    void bind(Output& out) { out_ = &out; }
    // How many times something visible was written: a container compares it with its value at its start.
    uint64_t count() const { return count_; }
    bool started() const { return count_ > 0; }

    // Asks for a line break (1) or a blank line (2) before whatever comes next.
    void separate(int breaks) {
        pending_ws_.clear();
        pending_breaks_ = std::max(pending_breaks_, breaks);
        line_start_ = fresh_ = true;
        after_line_feed_ = false;
    }

    // A list or footnote marker ("-", "3.", "[1]") and the space after it.
    void marker(std::string_view text) {
        visible(text);
        pending_ws_.assign(1, ' ');
        fresh_ = true;
    }
    // A separator between two cells: " | ".
    void cell_separator() {
        pending_ws_.push_back(' ');
        visible("|");
        pending_ws_.assign(1, ' ');
        fresh_ = true;
    }

    // A list item's or a definition's later lines are indented by two spaces more.
    void indent() {
        const std::string_view step = indent_.depth() < kMaxIndentDepth ? "  " : "";
        indent_.push(step, step);
    }
    void dedent() { indent_.pop(); }
    // Inside a list item, a line after a line feed may begin with the continuation mark "| ".
    void enter_item() { ++item_depth_; }
    void leave_item() { --item_depth_; }

    void text(std::string_view s, Mode mode) {
        for (;;) {
            const void* lf = s.empty() ? nullptr : std::memchr(s.data(), '\n', s.size());
            const size_t len = lf ? size_t(static_cast<const char*>(lf) - s.data()) : s.size();
            line_part(s.substr(0, len), mode);
            if (lf == nullptr) return;
            line_feed(mode == Mode::Verbatim);
            s.remove_prefix(len + 1);
        }
    }

    // A verbatim body without its leading and trailing blank lines.
    void verbatim(std::string_view s) {
        size_t first = 0;
        while (first < s.size() && (is_trailing_byte(s[first]) || s[first] == '\n')) ++first;
        size_t last = s.size();
        while (last > first && (is_trailing_byte(s[last - 1]) || s[last - 1] == '\n')) --last;
        if (first == last) return;
        while (first > 0 && s[first - 1] != '\n') --first;  // keep the first line's indentation
        text(s.substr(first, last - first), Mode::Verbatim);
    }

    void line_feed(bool each_counts) {
        pending_ws_.clear();
        pending_breaks_ = each_counts ? pending_breaks_ + 1 : std::max(pending_breaks_, 1);
        line_start_ = fresh_ = after_line_feed_ = true;
    }

    // Writes everything of `other` (a finished stream) as one more piece of this one.
    void append(const std::string& other) {
        if (other.empty()) return;
        visible(other);
    }

    // The final line feed; then the stream is ready for another document.
    void finish() {
        if (started()) out_->put('\n');
        reset();
    }

    void reset() {
        indent_.clear();
        pending_ws_.clear();
        pending_breaks_ = 0;
        count_ = 0;
        item_depth_ = 0;
        line_start_ = fresh_ = true;
        after_line_feed_ = false;
    }

private:
    void line_part(std::string_view part, Mode mode) {
        if (after_line_feed_ && item_depth_ > 0 && mode != Mode::Verbatim) {
            part = trim_left(part);
            if (part.empty()) return;
            // A list item continued on the next line: "| " opens that line and is no word of the item.
            if (part.size() >= 2 && part[0] == '|' && part[1] == ' ') part = trim_left(part.substr(2));
            after_line_feed_ = false;
        }
        if (fresh_ && mode == Mode::Prose) part = trim_left(part);
        size_t end = part.size();
        while (end > 0 && is_trailing_byte(part[end - 1])) --end;
        if (end > 0) visible(part.substr(0, end));
        if (end < part.size()) pending_ws_.append(part.substr(end));
    }

    void visible(std::string_view s) {
        if (line_start_) {
            if (count_ > 0) {
                for (int i = 0; i < std::max(pending_breaks_, 1); ++i) out_->put('\n');
            }
            pending_breaks_ = 0;
            indent_.begin_line([this](std::string_view prefix) {
                if (!prefix.empty()) out_->write(prefix);
            });
            line_start_ = false;
        }
        if (!pending_ws_.empty()) {
            out_->write(pending_ws_);
            pending_ws_.clear();
        }
        out_->write(s);
        fresh_ = after_line_feed_ = false;
        ++count_;
    }

    Output* out_ = nullptr;
    LinePrefixes indent_;     // written at the start of every line
    std::string pending_ws_;  // spaces, tabs and carriage returns not yet known to be inside a line
    int pending_breaks_ = 0;  // line feeds owed before the next visible byte
    uint64_t count_ = 0;
    int item_depth_ = 0;
    bool line_start_ = true;        // nothing visible written on the current line yet
    bool fresh_ = true;             // at a line start or just after a marker: prose drops its leading spaces
    bool after_line_feed_ = false;  // the line began with a line feed inside a text, not with a new block
};

class TextWriter final : public Writer {
public:
    explicit TextWriter(const TextOptions& options) : options_(options) {}

    void begin(const Source& source, Output& out) override {
        if (source.form == Source::Form::Result || source.form == Source::Form::Document) {
            out.reserve(kTextSize(source.document.span.len()));
        }
        body_.reset();
        notes_.reset();
        notes_out_.buffer().clear();
        notes_.bind(notes_out_);
        body_.bind(out);
        def_depth_ = 0;
        previous_top_ = Top::None;
        starts_.clear();
        numbers_.clear();
        links_.clear();
    }

    void node(NodeRef top, size_t, Output& out) override {
        body_.bind(out);
        separate_top(top.type);
        Walker walker(top);
        while (walker.next()) {
            if (walker.event() == Event::Enter) {
                enter(walker);
            } else {
                leave(walker);
            }
        }
    }

    void end(const Source&, Output& out) override {
        body_.bind(out);
        if (notes_.started()) {
            body_.separate(2);
            body_.append(notes_out_.buffer());
        }
        body_.finish();
        notes_.reset();
        notes_out_.buffer().clear();
        notes_out_.buffer().shrink_to_fit();
    }

private:
    enum class Top : uint8_t { None, Inline, Item, Row, Cell, Other };

    Lines& lines() { return def_depth_ > 0 ? notes_ : body_; }

    // Top-level nodes: a run of inline nodes is one text, records of one kind follow one another as in their
    // container, anything else is a block of its own.
    void separate_top(NodeType type) {
        Top kind = Top::Other;
        if (is_inline(type)) {
            kind = Top::Inline;
        } else if (type == NodeType::ListItem) {
            kind = Top::Item;
        } else if (type == NodeType::TableRow) {
            kind = Top::Row;
        } else if (type == NodeType::TableCell) {
            kind = Top::Cell;
        }
        const bool same = kind == previous_top_ && kind != Top::Other;
        previous_top_ = kind;
        if (type == NodeType::FootnoteDef || !body_.started()) return;
        if (!same) {
            body_.separate(2);
        } else if (kind == Top::Item || kind == Top::Row) {
            body_.separate(1);
        } else if (kind == Top::Cell) {
            body_.cell_separator();
        }
    }

    // Separates a node from the siblings before it that wrote something. Top-level nodes were separated by
    // separate_top.
    void separate(const Walker& walker) {
        const NodeType type = walker.node().type;
        if (type == NodeType::FootnoteDef) {
            if (notes_.started()) notes_.separate(1);
            return;
        }
        if (walker.depth() == 0 || is_inline(type)) return;
        Lines& out = lines();
        if (type == NodeType::TableCell) {
            if (walker.index() > 0) out.cell_separator();
            return;
        }
        if (out.count() == starts_.back()) return;
        out.separate(type == NodeType::ListItem || type == NodeType::TableRow ? 1 : 2);
    }

    void enter(Walker& walker) {
        const NodeRef node = walker.node();
        separate(walker);
        switch (node.type) {
            case NodeType::List: {
                const List& list = node.as<List>();
                numbers_.push_back(list.kind == ListKind::Ordered ? std::to_string(list.start.value_or(1))
                                                                  : std::string());
                break;
            }
            case NodeType::ListItem: {
                Lines& out = lines();
                const bool numbered =
                    walker.depth() > 0 && walker.parent().type == NodeType::List && !numbers_.back().empty();
                if (numbered) {
                    std::string& number = numbers_.back();
                    marker_.assign(number).push_back('.');
                    increment(number);
                    out.marker(marker_);
                } else {
                    out.marker("-");
                }
                out.indent();
                out.enter_item();
                break;
            }
            case NodeType::FootnoteDef: {
                ++def_depth_;
                marker_.clear();
                marker_.push_back('[');
                marker_.append(node.as<FootnoteDef>().label).push_back(']');
                notes_.marker(marker_);
                notes_.indent();
                break;
            }
            case NodeType::CodeBlock:
                lines().verbatim(node.as<CodeBlock>().content);
                break;
            case NodeType::MathBlock:
                lines().verbatim(node.as<MathBlock>().content);
                break;
            case NodeType::HtmlBlock:
                lines().verbatim(node.as<HtmlBlock>().content);
                break;
            case NodeType::RawBlock:
                lines().verbatim(node.as<RawBlock>().content);
                break;
            case NodeType::Figure: {
                const Figure& figure = node.as<Figure>();
                const bool captioned = figure.caption && !figure.caption->empty();
                lines().text(captioned ? *figure.caption : figure.alt, Mode::Prose);
                break;
            }
            case NodeType::Text:
                lines().text(node.as<Inline>().text, Mode::Prose);
                break;
            case NodeType::CodeSpan:
            case NodeType::AutoLink:
                lines().text(node.as<Inline>().text, Mode::AsIs);
                break;
            case NodeType::FootnoteRef: {
                Lines& out = lines();
                out.text("[", Mode::AsIs);
                out.text(node.as<Inline>().text, Mode::AsIs);
                out.text("]", Mode::AsIs);
                break;
            }
            case NodeType::HardBreak:
            case NodeType::SoftBreak:
                lines().line_feed(false);
                break;
            case NodeType::Link: {
                const Inline& link = node.as<Inline>();
                // A link whose label is its URL ([[https://x.org]]) is not written twice.
                const bool label_is_url = link.children.size() == 1 && link.children[0].kind == InlineKind::Text &&
                                          link.children[0].text == link.text;
                links_.push_back({lines().count(), options_.link_urls && !link.text.empty() && !label_is_url});
                break;
            }
            default:
                break;
        }
        if (is_inline(node.type)) return;
        starts_.push_back(lines().count());
        // A callout's title is its first line; the paragraphs follow it as blocks.
        if (node.type == NodeType::Callout) {
            const Callout& callout = node.as<Callout>();
            if (callout.title) lines().text(*callout.title, Mode::Prose);
        }
    }

    void leave(const Walker& walker) {
        const NodeRef node = walker.node();
        if (!is_inline(node.type)) starts_.pop_back();
        switch (node.type) {
            case NodeType::List:
                numbers_.pop_back();
                break;
            case NodeType::ListItem: {
                Lines& out = lines();
                out.dedent();
                out.leave_item();
                break;
            }
            case NodeType::FootnoteDef:
                notes_.dedent();
                --def_depth_;
                break;
            case NodeType::Link: {
                const LinkState link = links_.back();
                links_.pop_back();
                if (!link.url) break;
                Lines& out = lines();
                out.text(out.count() > link.start ? " (" : "(", Mode::AsIs);
                out.text(node.as<Inline>().text, Mode::AsIs);
                out.text(")", Mode::AsIs);
                break;
            }
            default:
                break;
        }
    }

    struct LinkState {
        uint64_t start;  // the count of its stream before the label
        bool url;        // write the URL after the label
    };

    TextOptions options_;
    Lines body_;
    Lines notes_;        // the footnote definitions, written by end()
    Output notes_out_;   // never spills: it keeps them all
    int def_depth_ = 0;  // > 0 inside a footnote definition: its words go to notes_
    Top previous_top_ = Top::None;
    std::vector<uint64_t> starts_;      // per open block or record: the count of its stream after its marker
    std::vector<std::string> numbers_;  // per open list: the next item's number, empty when unordered
    std::vector<LinkState> links_;
    std::string marker_;
};

}  // namespace

std::unique_ptr<Writer> make_text_writer(const TextOptions& options) {
    return std::make_unique<TextWriter>(options);
}

}  // namespace quillet::writers
