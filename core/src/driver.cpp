// The document driver: the header lines at the top (profile, modules, metadata), then block after block.
#include <algorithm>
#include <array>
#include <memory>
#include <utility>

#include "block_parser.hpp"
#include "markers.hpp"
#include "quillet/model.hpp"
#include "text.hpp"

namespace quillet {

namespace {

std::optional<Profile> profile_named(std::string_view name) {
    for (size_t i = 0; i < std::size(kProfileNames); ++i) {
        if (kProfileNames[i] == name) return Profile(i);
    }
    return std::nullopt;
}

std::optional<ModuleKind> module_named(std::string_view name) {
    for (size_t i = 0; i < std::size(kModuleNames); ++i) {
        if (kModuleNames[i] == name) return ModuleKind(i);
    }
    return std::nullopt;
}

// "@profile NAME": a prefix test, then the trimmed rest compared byte for byte.
std::optional<Profile> read_profile_line(const Line& line) {
    std::string_view t = trim(line.text);
    if (!starts_with(t, kProfilePrefix)) return std::nullopt;
    return profile_named(trim(t.substr(kProfilePrefix.size())));
}

// "@modules a, b, c": unknown and empty names are skipped, duplicates kept.
bool read_modules_line(const Line& line, std::vector<ModuleKind>& out) {
    std::string_view t = trim(line.text);
    if (!starts_with(t, kModulesPrefix)) return false;
    std::string_view rest = t.substr(kModulesPrefix.size());
    for (;;) {
        size_t comma = rest.find(',');
        if (auto m = module_named(trim(rest.substr(0, comma)))) out.push_back(*m);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return true;
}

bool opens_metadata(const Line& line) {
    std::string_view t = trim(line.text);
    return starts_with(t, kRule) && t.find("meta") != std::string_view::npos;
}

// The metadata block runs to a line "---" or to the end of the input. Lines without ":" are ignored. A
// sink that takes parts takes the entries instead of the result, which then holds none.
Metadata read_metadata(LineCursor& cursor, Arena* arena, BlockSink* sink, bool& refused) {
    Metadata meta;
    meta.entries = Seq<MetadataEntry>(ArenaAllocator<MetadataEntry>(arena));
    const Line opener = *cursor.next_line();
    meta.span = {opener.start, opener.end};
    while (std::optional<Line> line = cursor.next_line()) {
        meta.span.end = line->end;
        std::string_view t = trim(line->text);
        if (t == kRule) break;
        size_t colon = line->text.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view key = trim(line->text.substr(0, colon));
        std::string_view value = trim(line->text.substr(colon + 1));
        if (sink != nullptr) {
            if (!refused && !sink->take_metadata_entry(key, value)) refused = true;
        } else {
            meta.entries.push_back(MetadataEntry{key, Parser::parse_attr_value(value, arena)});
        }
    }
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

    // Only the first non-blank line can name the profile.
    if (const auto& line = cursor.skip_blank_lines()) {
        if (std::optional<Profile> p = read_profile_line(*line)) {
            doc.profile = *p;
            cursor.next_line();
            cursor.skip_blank_lines();
        }
    }

    // The modules line comes first, or right after the profile line.
    if (const auto& line = cursor.peek_line()) {
        if (read_modules_line(*line, doc.modules)) {
            cursor.next_line();
            cursor.skip_blank_lines();
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
