// The document driver: the header lines at the top (profile, modules, metadata), then block after block.
#include <algorithm>
#include <memory>
#include <utility>

#include "block_parser.hpp"
#include "header.hpp"
#include "text.hpp"

namespace quillet {

namespace {

// The metadata block runs to a line "---" or to the end of the input. Lines without ":" are ignored. A
// sink that takes parts takes the entries instead of the result, which then holds none.
Metadata read_metadata(LineCursor& cursor, Arena* arena, BlockSink* sink, bool& refused) {
    Metadata meta;
    meta.entries = Seq<MetadataEntry>(ArenaAllocator<MetadataEntry>(arena));
    meta.span = read_metadata_lines(cursor, [&](const Line& line) {
                    size_t colon = line.text.find(':');
                    if (colon == std::string_view::npos) return;
                    std::string_view key = trim(line.text.substr(0, colon));
                    std::string_view value = trim(line.text.substr(colon + 1));
                    if (sink != nullptr) {
                        if (!refused && !sink->take_metadata_entry(key, value)) refused = true;
                    } else {
                        meta.entries.push_back(MetadataEntry{key, Parser::parse_attr_value(value, arena)});
                    }
                }).span;
    return meta;
}

}  // namespace

bool BlockParser::has_module(ModuleKind m) const {
    for (ModuleKind k : modules) {
        if (k == m) return true;
    }
    return false;
}

Document Parser::parse_internal(std::string_view input) {
    return parse_document(input, nullptr);
}

Document Parser::parse_streaming(std::string_view input, BlockSink& sink) {
    return parse_document(input, &sink);
}

Document Parser::parse_document(std::string_view input, BlockSink* sink) {
    // Every sequence of the tree is taken from the document's arena. A whole tree is about the size of the
    // input; a streamed parse holds one block at a time.
    constexpr size_t kStreamingChunk = 256 * 1024;
    auto arena = std::make_unique<Arena>(sink == nullptr ? input.size() : std::min(input.size(), kStreamingChunk));
    BlockParser blocks(*this, *arena);
    Document doc;
    doc.blocks = blocks.new_seq<Block>();
    doc.arena = std::move(arena);
    doc.profile = profile;
    doc.span = {0, static_cast<uint32_t>(input.size())};
    LineCursor cursor(input);

    const Header header = read_header_lines(cursor);
    if (header.profile && header.profile->profile) doc.profile = *header.profile->profile;
    if (header.modules) {
        for (const ModuleName& name : header.modules->names) {
            if (name.kind) doc.modules.push_back(*name.kind);
        }
    }
    modules = doc.modules;

    // A sink that takes parts takes the metadata entries and the parts of every top-level container.
    BlockSink* parts_sink = sink != nullptr && sink->wants_parts() ? sink : nullptr;
    if (const auto& line = cursor.peek_line(); line && opens_metadata(*line)) {
        bool refused = false;
        doc.metadata = read_metadata(cursor, doc.arena.get(), parts_sink, refused);
        if (refused) return doc;
        cursor.skip_blank_lines();
    }

    if (sink == nullptr) {
        while (cursor.skip_blank_lines()) {
            if (std::optional<Block> block = blocks.parse_block(cursor, input)) doc.blocks.push_back(std::move(*block));
        }
        return doc;
    }
    // Each block's tree is dropped, and its memory reused, once the sink has taken it.
    const Arena::Mark after_header = doc.arena->mark();
    if (!sink->begin_blocks(doc)) return doc;
    blocks.stream_parts_to(parts_sink);
    while (cursor.skip_blank_lines()) {
        {
            std::optional<Block> block = blocks.parse_block(cursor, input);
            if (blocks.parts_refused() || (block && !sink->take(std::move(*block)))) break;
        }
        doc.arena->rewind(after_header);
    }
    return doc;
}

}  // namespace quillet
