#include "writer.hpp"

namespace quillet::writers {
namespace {

// Hands each top-level block of a streamed parse to the writer, the header first.
class WritingSink : public BlockSink {
public:
    WritingSink(Writer& writer, Output& out, Source& source) : writer_(writer), out_(out), source_(source) {}

    bool begin_blocks(const Document& header) override {
        source_.document = view_of(header);
        source_.document.blocks = nullptr;
        source_.document.block_count = 0;
        writer_.begin(source_, out_);
        begun = true;
        return true;
    }
    bool begun = false;

    bool take(Block&& block) override {
        writer_.node(node_ref(block), count_++, out_);
        return true;
    }

private:
    Writer& writer_;
    Output& out_;
    Source& source_;
    size_t count_ = 0;
};

}  // namespace

void write(const Source& source, Writer& writer, Output& out) {
    writer.begin(source, out);
    switch (source.form) {
        case Source::Form::Result:
        case Source::Form::Document:
            for (size_t i = 0; i < source.document.block_count; ++i) {
                writer.node(node_ref(source.document.blocks[i]), i, out);
            }
            break;
        case Source::Form::Node:
        case Source::Form::Nodes:
            for (size_t i = 0; i < source.node_count; ++i) writer.node(source.nodes[i], i, out);
            break;
        case Source::Form::Error:
            break;
    }
    writer.end(source, out);
    out.finish();
}

void write_parsed(std::string_view input, Writer& writer, Output& out, Profile profile) {
    Parser parser(profile);
    Source source;
    source.form = Source::Form::Result;
    WritingSink sink(writer, out, source);
    Document doc = parser.parse_streaming(input, sink);
    source.document = view_of(doc);
    source.document.blocks = nullptr;
    source.document.block_count = 0;
    if (!sink.begun) writer.begin(source, out);
    source.errors = parser.errors.data();
    source.error_count = parser.errors.size();
    writer.end(source, out);
    out.finish();
}

}  // namespace quillet::writers
