// The two halves of the Markdown writer below its block layout (markdown_writer.cpp): the lines it writes
// on, and the inline writer, which escapes text and places delimiter runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lines.hpp"
#include "walker.hpp"

namespace quillet::writers::markdown {

// "&name;", "&#123;" or "&#x1F;" at s[i] (a '&'), or text that ends before telling: a reader might decode it.
bool entity_like(std::string_view s, size_t i);

// A footnote label as the extension reads it: no white space, brackets or anything a reader might fold or
// take apart, nor a '_' or '*' that could make emphasis where the label is read as text (no definition).
// Letters, digits, '-' and '.' stay; any other byte is '+' and two hex digits; the empty label is "+".
// Distinct labels stay distinct.
std::string safe_label(std::string_view label);

// What a character is, next to a delimiter run (markdown_inline.cpp).
enum class Cls : uint8_t;

// The lines of the Markdown being written, and the open containers they belong to: the document, then each
// quote, list item or footnote definition, with the prefix it gives the first of its lines ("> ", "- ",
// "[^x]: ") and every later one ("> ", "  ", "    "). Blocks of one container are separated by a blank line.
// Both the block layout and the inline writer write here, so a paragraph begins its block and its first
// line only when its first visible character comes.
class Lines {
public:
    // An open container, as the blocks see it.
    struct Container {
        size_t blocks = 0;   // blocks written in it so far
        char last_list = 0;  // the marker of the list just written in it, if the last block was one
    };

    std::string buf;          // what is written, at the end of the Output's buffer (taken for a node's time)
    bool line_start = true;   // nothing visible written on this line yet
    bool any_output = false;  // anything written at all (a "---" first would open front matter)
    char previous_list = 0;   // the marker of the list right before the block that begins
    std::vector<Container> containers{Container{}};  // containers[0] is the document

    void reset() {
        prefixes_.clear();
        containers.assign(1, Container{});
        previous_list = 0;
        line_start = true;
        any_output = false;
    }

    // A line's prefix: each open container's, outermost first.
    void begin_line() {
        if (prefixes_.depth() > 0) prefixes_.begin_line([this](std::string_view prefix) { buf += prefix; });
        any_output = true;
        line_start = true;
    }

    void end_line() { buf += '\n'; }

    void blank_line() {
        const size_t at = buf.size();
        buf += prefixes_.rests();
        while (buf.size() > at && (buf.back() == ' ' || buf.back() == '\t')) buf.pop_back();
        buf += '\n';
    }

    // A block of the innermost container starts: a blank line separates it from the one before.
    void begin_block() {
        Container& c = containers.back();
        if (c.blocks > 0) blank_line();
        ++c.blocks;
        previous_list = c.last_list;
        c.last_list = 0;
    }

    // Whether a container is open that has not written its first line yet.
    bool in_new_container() const { return prefixes_.depth() > 0 && !prefixes_.innermost_begun(); }

    void push(std::string_view first, std::string_view rest) {
        prefixes_.push(first, rest);
        containers.push_back(Container{});
    }

    // Closes a container; one that wrote nothing still writes its marker, so that it is not lost.
    void pop() {
        if (!prefixes_.innermost_begun()) {
            const size_t at = buf.size();
            begin_line();
            while (buf.size() > at && buf.back() == ' ') buf.pop_back();
            end_line();
        }
        prefixes_.pop();
        containers.pop_back();
    }

private:
    LinePrefixes prefixes_;
};

// Inline text, written so that a reader finds the same words and nothing else: no emphasis, heading, list
// item, table, HTML, entity, link, code span, thematic break or setext underline that the tree does not hold.
//
// Delimiters are written lazily: an opener goes out only with the first visible character of its content,
// and white space at either end of the content is held back and moved outside the delimiters, so that
// every delimiter run can open or close where it stands. Each opener's mark ('*' or '_') is chosen so that
// a reader pairs it with its own closer and no other (place_opener says how); where a neighbouring
// character would still stop a run from opening or closing, that character is written as a numeric
// character reference, and where nothing else will do, an empty comment "<!---->" parts two runs (or two
// code spans) that would otherwise be one. The state is one text's: the open delimiters, the white space
// held back, and what the last character written was.
class InlineWriter {
public:
    explicit InlineWriter(Lines& lines) : lines_(lines) {}

    void reset() {
        s_.active = false;
        item_depth_ = 0;
    }
    bool active() const { return s_.active; }

    // The texts: each begins with one of these and ends with end() (end_inside() for a label or a cell).
    // A paragraph: its block and first line begin with its first visible character.
    void begin_paragraph(bool single_line) { start(Start::Block, single_line); }
    // A heading's text, after its "#" marks: '#' is escaped everywhere.
    void begin_heading();
    // A table cell's text, after its '|': '|' is escaped in code spans too.
    void begin_cell();
    // An image description, after its "![": written as it is from the first byte.
    void begin_label();
    // Ends the text: trailing white space goes, a paragraph's line ends.
    void end();
    // Ends a label or a cell: its trailing white space is written before the closing markup.
    void end_inside();

    // Writes the inline node the walk has just entered, everything below it and the inline nodes after it
    // in the same parent: the walk goes on to the first event that is not theirs (the parent's Leave, or the
    // Enter of a block after them). False when the walk has ended.
    bool write(Walker& w);

    // Running text, escaped wherever a character could be read as markup.
    void text(std::string_view t);
    void open_delim(NodeType type);
    void close_delim();
    // A link destination: plain with backslash escapes, or in angle brackets when it holds spaces or controls.
    void destination(std::string_view url);
    void title(std::string_view t);

    // Inside a list item, a text continued on the next line drops that line's "| " mark.
    void enter_item() { ++item_depth_; }
    void leave_item() { --item_depth_; }

private:
    enum class Start : uint8_t {
        Block,  // a paragraph: its block and first line begin with its first visible character
        Line,   // a line is already begun (a heading, a cell): nothing to begin
        Inside  // inside markup already written on the line (an image description)
    };

    struct Delim {
        NodeType type;
        char mark = 0;         // '*', '_' or '~'; 0 while unwritten
        bool written = false;  // the opener is out
        bool dropped = false;  // no markup for this node (a strike inside a strike, see place_opener)
        // Once placed: the mark of the innermost emphasis or strong written at or below it in the stack, and
        // the marks that the emphases and strongs written at or below it use (a bit per kind and mark).
        char inner = 0;
        uint8_t used = 0;
    };

    struct State {
        bool active = false;
        bool single_line = false;  // line breaks become spaces (headings, cells, descriptions)
        bool heading = false;      // '#' is escaped everywhere
        bool cell = false;         // '|' is escaped in code spans too
        Start start = Start::Block;
        std::string_view lead;                  // written before the first visible character (" " after "#" or "|")
        bool begun = false;                     // a visible character has been written
        std::string pending_ws;                 // white space not yet written: it may end up outside a delimiter
        bool pending_break = false;             // a line break is pending
        bool pending_hard = false;              // ... and it is a hard one
        size_t unwritten = 0;                   // delims[unwritten..] are openers not yet written
        char last_run = 0;                      // the last thing written was a delimiter run of this mark
        bool guard = false;                     // a closer needs the next character to be white space or punctuation
        bool after_ref = false;                 // a footnote reference was just written
        size_t code_end = std::string::npos;    // where the last code span ended in the buffer
        size_t opener_end = std::string::npos;  // where the last opener ended in the buffer
        int link_depth = 0;
        int strike_depth = 0;
        std::vector<Delim> delims;
    };

    void start(Start start, bool single_line, std::string_view lead = {});
    // The steps of the text loop: used in markdown_inline.cpp only, and declared inline so that the compiler
    // may fold them into the loop.
    inline void enter(NodeRef n);
    inline void leave(NodeRef n);
    inline Cls prev_class() const;
    inline void encode_prev();
    inline void write_encoded(uint32_t cp, std::string_view bytes);
    inline void flush_ws();
    inline void content(Cls next);
    inline bool place_opener(Delim& d, const Delim* below, Cls next);
    inline void pending_space(char c);
    void code_span(std::string_view code);
    void autolink(std::string_view url);
    inline void flush_trailing_ws_inside();

    Lines& lines_;
    State s_;
    size_t item_depth_ = 0;  // the list items open around the text
};

}  // namespace quillet::writers::markdown
