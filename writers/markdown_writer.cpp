// Markdown: CommonMark with the table, strikethrough, footnote and alert extensions.
//
// This file is the block layout. The tree is written with one walk (enter and leave events), and every
// block becomes lines: a blank line between two blocks of a container, the prefixes of the open containers
// ("> ", "- " then "  ", "[^x]: " then "    "), fences, table rows, front matter. Inline nodes go to the
// InlineWriter (markdown_inline.cpp), which escapes text and places delimiter runs; both write on one
// markdown::Lines. Nothing recurses.
//
// Each top-level node is written into the Output's buffer and handed on when it is done; the only state
// kept between top-level nodes is what separates and distinguishes blocks.
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
#include "markdown_inline.hpp"
#include "quillet/utf8.hpp"

namespace quillet::writers {
namespace {

using namespace std::string_view_literals;

using markdown::entity_like;
using markdown::safe_label;

// CommonMark ordered list markers hold at most nine digits: a longer number would not start an item.
constexpr uint64_t kMaxListNumber = 999'999'999;

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
            out += "\\n"sv;
        } else if (cp == '\t') {
            out += "\\t"sv;
        } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            out += "\\x"sv;
            out += kHex[cp >> 4];
            out += kHex[cp & 15];
        } else if (cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF || cp == 0xFFFE || cp == 0xFFFF) {
            out += "\\u"sv;
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
        out += ".nan"sv;
        return;
    }
    if (std::isinf(d)) {
        out += d < 0 ? "-.inf"sv : ".inf"sv;
        return;
    }
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    (void)ec;
    std::string_view text(buf, static_cast<size_t>(end - buf));
    const size_t e = text.find('e');
    std::string_view mantissa = text.substr(0, e);
    out += mantissa;
    if (mantissa.find('.') == std::string_view::npos) out += ".0"sv;
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
                    out += value->boolean ? "true"sv : "false"sv;
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
            if (top.next > 0) out += ", "sv;
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
            lines_.buf.swap(out.buffer());
            front_matter(*source.document.metadata);
            lines_.buf.swap(out.buffer());
            out.written();
        }
    }

    void node(NodeRef top, size_t, Output& out) override {
        lines_.buf.swap(out.buffer());
        write_node(top);
        lines_.buf.swap(out.buffer());
        if (!inline_.active()) out.written();
    }

    void end(const Source&, Output& out) override {
        lines_.buf.swap(out.buffer());
        if (inline_.active()) inline_.end();
        lines_.buf.swap(out.buffer());
        out.written();
    }

private:
    void reset() {
        lines_.reset();
        lists_.clear();
        table_ = TableState{};
        inline_.reset();
    }

    // Lines of verbatim content, each behind the containers' prefixes; "\r\n", "\n" and "\r" all end a line,
    // as they do for a reader.
    void verbatim_lines(std::string_view content) {
        if (content.empty()) return;
        LineBreaks breaks(content);
        size_t i = 0;
        for (;;) {
            const size_t j = breaks.next(i);
            lines_.begin_line();
            lines_.buf.append(content.substr(i, j - i));
            lines_.end_line();
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
        lines_.begin_block();
        lines_.begin_line();
        lines_.buf += fence;
        // Info that begins with the fence's character would lengthen the fence: a space parts them (a
        // reader trims it off the info).
        if (!info.empty() && info[0] == fence_char) lines_.buf += ' ';
        for (size_t i = 0; i < info.size(); ++i) {
            const char c = info[i];
            if (c == '\n' || c == '\r') {
                lines_.buf += ' ';
            } else if (c == '\\' || (c == '&' && entity_like(info, i))) {
                lines_.buf += '\\';
                lines_.buf += c;
            } else {
                lines_.buf += c;
            }
        }
        lines_.end_line();
        verbatim_lines(content);
        lines_.begin_line();
        lines_.buf += fence;
        lines_.end_line();
    }

    void front_matter(const Metadata& metadata) {
        if (metadata.entries.empty()) return;
        // One entry per key, where the key first appears, with the value it last has: what a mapping holds.
        std::unordered_map<std::string_view, size_t> last;
        for (size_t i = 0; i < metadata.entries.size(); ++i) last[metadata.entries[i].key] = i;
        std::unordered_set<std::string_view> written;
        lines_.buf += "---\n"sv;
        for (const MetadataEntry& entry : metadata.entries) {
            if (!written.insert(entry.key).second) continue;
            yaml_key(lines_.buf, entry.key);
            lines_.buf += ": "sv;
            yaml_value(lines_.buf, metadata.entries[last[entry.key]].value);
            lines_.buf += '\n';
        }
        lines_.buf += "---\n"sv;
        lines_.any_output = true;
        lines_.containers[0].blocks = 1;
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
        for (; t.cells < t.columns; ++t.cells) lines_.buf += "  |";
        lines_.end_line();
    }

    void table_delimiter_row() {
        lines_.begin_line();
        lines_.buf += '|';
        for (size_t i = 0; i < table_.columns; ++i) lines_.buf += " --- |";
        lines_.end_line();
    }

    void callout_head(const Callout& callout) {
        const std::string_view alert = alert_kind(callout.kind);
        std::string_view heading = callout.title ? *callout.title : std::string_view();
        if (!alert.empty()) {
            lines_.begin_line();
            lines_.buf += "[!"sv;
            lines_.buf += alert;
            lines_.buf += ']';
            lines_.end_line();
        } else if (!callout.title) {
            heading = callout.kind;
        }
        if (heading.empty()) return;
        // The title, bold, as the quote's first paragraph (right under the alert line).
        inline_.begin_paragraph(true);
        inline_.open_delim(NodeType::Strong);
        inline_.text(heading);
        inline_.close_delim();
        inline_.end();
    }

    void enter_block(Walker& w, NodeRef n) {
        switch (n.type) {
            case NodeType::Heading: {
                const Heading& h = n.as<Heading>();
                lines_.begin_block();
                lines_.begin_line();
                lines_.buf.append(std::clamp<size_t>(h.level, 1, 6), '#');
                inline_.begin_heading();
                break;
            }
            case NodeType::Paragraph:
                inline_.begin_paragraph(false);
                break;
            case NodeType::List: {
                const List& list = n.as<List>();
                if (list.items.empty()) {
                    w.skip_children();
                    break;
                }
                lines_.begin_block();
                ListState state;
                state.ordered = list.kind == ListKind::Ordered;
                // Two lists in a row would read as one: the second takes the other marker.
                const char usual = state.ordered ? '.' : '-';
                const char other = state.ordered ? ')' : '*';
                state.mark = lines_.previous_list == usual ? other : usual;
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
                    lines_.begin_block();
                }
                marker += ' ';
                lines_.push(marker, std::string(marker.size(), ' '));
                inline_.enter_item();
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
                lines_.begin_block();
                verbatim_lines(content);
                break;
            }
            case NodeType::ThematicBreak: {
                // "---" opens front matter at the very start, and after a list marker it could be read
                // as something else; "***" is a break everywhere.
                const bool first = !lines_.any_output || lines_.in_new_container();
                lines_.begin_block();
                lines_.begin_line();
                lines_.buf += first ? "***"sv : "---"sv;
                lines_.end_line();
                break;
            }
            case NodeType::Quote:
                lines_.begin_block();
                lines_.push("> ", "> ");
                break;
            case NodeType::Callout:
                lines_.begin_block();
                lines_.push("> ", "> ");
                callout_head(n.as<Callout>());
                break;
            case NodeType::Figure: {
                const Figure& figure = n.as<Figure>();
                lines_.begin_block();
                lines_.begin_line();
                lines_.buf += "!["sv;
                inline_.begin_label();
                inline_.text(figure.alt);
                inline_.end_inside();
                lines_.buf += "]("sv;
                inline_.destination(figure.src);
                if (figure.caption) inline_.title(*figure.caption);
                lines_.buf += ')';
                lines_.end_line();
                if (figure.caption) {
                    inline_.begin_paragraph(false);
                    inline_.text(*figure.caption);
                    inline_.end();
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
                lines_.begin_line();
                lines_.buf += '|';
                table_.cells = 0;
                break;
            }
            case NodeType::TableCell:
                if (w.depth() == 0 || w.parent().type != NodeType::TableRow) {
                    inline_.begin_paragraph(false);  // a cell on its own: a paragraph
                    break;
                }
                inline_.begin_cell();
                break;
            case NodeType::FootnoteDef: {
                lines_.begin_block();
                const std::string label = "[^" + safe_label(n.as<FootnoteDef>().label) + "]: ";
                lines_.push(label, "    ");
                break;
            }
            case NodeType::Footnotes:
                break;
            default:
                break;
        }
    }

    void begin_table(size_t columns, bool header_from_first) {
        lines_.begin_block();
        table_ = TableState{columns, 0, 0, header_from_first};
        if (!header_from_first) {
            // Every pipe table needs a header row: a table without one gets an empty one.
            lines_.begin_line();
            lines_.buf += '|';
            table_.cells = 0;
            table_line_end();
            table_delimiter_row();
            table_.row = 1;
        }
    }

    void leave_block(Walker& w, NodeRef n) {
        switch (n.type) {
            case NodeType::Heading:
                inline_.end();
                lines_.end_line();
                break;
            case NodeType::Paragraph:
                inline_.end();
                break;
            case NodeType::List:
                if (n.as<List>().items.empty()) break;
                lines_.containers.back().last_list = lists_.back().mark;
                lists_.pop_back();
                break;
            case NodeType::ListItem:
                inline_.leave_item();
                lines_.pop();
                break;
            case NodeType::Quote:
            case NodeType::Callout:
            case NodeType::FootnoteDef:
                lines_.pop();
                break;
            case NodeType::TableRow:
                if (n.as<TableRow>().cells.empty() && (w.depth() == 0 || w.parent().type != NodeType::Table)) break;
                table_line_end();
                if (table_.row++ == 0) table_delimiter_row();
                break;
            case NodeType::TableCell:
                if (w.depth() == 0 || w.parent().type != NodeType::TableRow) {
                    inline_.end();
                    break;
                }
                inline_.end_inside();
                lines_.buf += " |"sv;
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
            if (!inline_.active()) inline_.begin_paragraph(false);
        } else if (inline_.active()) {
            inline_.end();
        }
        Walker w(top);
        bool more = w.next();
        while (more) {
            const NodeRef n = w.node();
            if (is_inline(n.type)) {
                more = inline_.write(w);  // the walk stands at the next event that is not the inline text's
                continue;
            }
            if (w.event() == Event::Enter) {
                enter_block(w, n);
            } else {
                leave_block(w, n);
            }
            more = w.next();
        }
    }

    markdown::Lines lines_;
    markdown::InlineWriter inline_{lines_};
    std::vector<ListState> lists_;
    TableState table_;
};

}  // namespace

std::unique_ptr<Writer> make_markdown_writer(const MarkdownOptions&) {
    return std::make_unique<MarkdownWriter>();
}

}  // namespace quillet::writers
