// The parser: its entry points, and the sink a streamed parse hands its blocks to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "quillet/document.hpp"
#include "quillet/errors.hpp"

namespace quillet {

// Inputs are addressed with 32-bit offsets, so anything of this size or more is refused by the entry points
// before parsing.
inline constexpr uint64_t kMaxInputSize = uint64_t{1} << 32;

// Receives a metadata value as it is read: a scalar, or a list as begin_list(), its elements, end_list().
class AttrReader {
public:
    virtual ~AttrReader() = default;
    // A value of any kind but List.
    virtual void scalar(AttrValue value) = 0;
    virtual void begin_list() = 0;
    virtual void end_list() = 0;
};

// Types one (already trimmed) metadata value text, describing it to `out`. Lists may nest a million levels
// deep in a short text: nothing here recurses per level.
void read_attr_value(std::string_view text, AttrReader& out);

// Receives the top-level blocks of a streamed parse, one at a time.
class BlockSink {
public:
    virtual ~BlockSink() = default;
    // Takes one block, complete; returning false stops the parse. The block and everything it holds are
    // dropped when this returns.
    virtual bool take(Block&& block) = 0;

    // Called once the header has been read, before the first block: `header` holds the profile, the
    // modules, the span and (unless a sink that takes parts took its entries) the metadata, and no blocks.
    // Returning false stops the parse.
    virtual bool begin_blocks(const Document& /*header*/) { return true; }

    // A sink that answers true takes the parts of a top-level container one by one, each as soon as it is
    // complete: the items of a list, the rows of a table, the definitions of a footnotes block, the
    // paragraphs of a quote or callout. The container then comes to take() with no parts of its own. So a
    // single huge container costs the memory of one part at a time, not of its whole tree. Each take_*
    // returns false to stop the parse; the part and everything it holds are dropped when it returns.
    virtual bool wants_parts() const { return false; }
    virtual bool take_item(ListItem&&) { return true; }
    virtual bool take_row(TableRow&&) { return true; }
    virtual bool take_definition(FootnoteDef&&) { return true; }
    virtual bool take_paragraph(Block&&) { return true; }
    // Such a sink also takes the top-level nodes of a text of very many of them (a paragraph, a heading, a
    // cell) in batches as they are found; end_inlines() closes the text and returns a token (null to stop
    // the parse) that the text's Inlines then carry: see Nodes::taken().
    virtual bool take_inlines(Inlines) { return true; }
    virtual const void* end_inlines() { return nullptr; }
    // Such a sink also takes the metadata entries, each as it is read, which the result then lacks; the
    // sink types the value with read_attr_value().
    virtual bool take_metadata_entry(std::string_view /*key*/, std::string_view /*value*/) { return true; }
};

class Parser {
public:
    std::vector<ModuleKind> modules;
    std::vector<ParseError> errors;
    bool report_unknown_directives = true;
    Profile profile = Profile::Quillet;

    Parser() = default;
    explicit Parser(Profile p) : profile(p) {}

    // Parses a whole document. The result holds views into `input` and must not outlive it.
    // `input` must be shorter than kMaxInputSize.
    Document parse_internal(std::string_view input);

    // Parses a whole document like parse_internal, but hands each top-level block to `sink` as soon as it is
    // complete instead of keeping it, so the memory of only one block's tree is in use at a time. The
    // result holds everything else (profile, modules, metadata, span) and no blocks.
    Document parse_streaming(std::string_view input, BlockSink& sink);

    // Types one (already trimmed) metadata value text; its lists take their memory from `arena` (the heap
    // when null).
    static AttrValue parse_attr_value(std::string_view text, Arena* arena = nullptr);

private:
    Document parse_document(std::string_view input, BlockSink* sink);
};

}  // namespace quillet
