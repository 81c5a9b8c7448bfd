// libFuzzer harness of the writers: every input is parsed, walked and written in every format.
//
// The walk's Enter and Leave events must balance and follow the tree exactly (each child entered once, in
// order, below the right parent, at the right depth; skip_children honoured). Every writer must write the
// same bytes for a tree already built as for a streamed parse, and valid UTF-8; the JSON must pass a strict
// validator (RFC 8259: no NaN, no raw control characters, well-formed \u escapes and surrogate pairs).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats.hpp"
#include "quillet/parser.hpp"
#include "quillet/utf8.hpp"
#include "walker.hpp"
#include "writer.hpp"

namespace {

using namespace quillet;
using namespace quillet::writers;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "invariant broken: %s\n%.*s\n", what, static_cast<int>(std::min<size_t>(detail.size(), 2000)),
                 detail.data());
    std::abort();
}

// ------------------------------------------------------------------------------------ a strict JSON check

class JsonChecker {
public:
    explicit JsonChecker(std::string_view s) : s_(s) {}

    // Whether s is exactly one JSON value, with white space around it allowed. Nesting costs heap, not stack.
    bool valid() {
        enum class Open : uint8_t { Array, Object };
        std::vector<Open> open;
        skip_space();
        for (;;) {
            // A value is expected here.
            if (peek() == '[' || peek() == '{') {
                const bool object = peek() == '{';
                ++i_;
                skip_space();
                if (peek() == (object ? '}' : ']')) {
                    ++i_;
                } else {
                    open.push_back(object ? Open::Object : Open::Array);
                    if (object && !key()) return false;
                    continue;
                }
            } else if (!scalar()) {
                return false;
            }
            // After a value: a comma and the next value, or the end of containers.
            for (;;) {
                skip_space();
                if (open.empty()) return i_ == s_.size();
                const bool object = open.back() == Open::Object;
                if (peek() == ',') {
                    ++i_;
                    skip_space();
                    if (object && !key()) return false;
                    break;
                }
                if (peek() != (object ? '}' : ']')) return false;
                ++i_;
                open.pop_back();
            }
        }
    }

private:
    char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
    void skip_space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
    }
    bool key() {
        if (!string()) return false;
        skip_space();
        if (peek() != ':') return false;
        ++i_;
        skip_space();
        return true;
    }
    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }
    bool scalar() {
        switch (peek()) {
            case '"':
                return string();
            case 't':
                return literal("true");
            case 'f':
                return literal("false");
            case 'n':
                return literal("null");
            default:
                return number();
        }
    }
    bool digits() {
        const size_t start = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return i_ > start;
    }
    bool number() {
        if (peek() == '-') ++i_;
        if (peek() == '0') {
            ++i_;
        } else if (!(peek() >= '1' && peek() <= '9') || !digits()) {
            return false;
        }
        if (peek() == '.') {
            ++i_;
            if (!digits()) return false;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++i_;
            if (peek() == '+' || peek() == '-') ++i_;
            if (!digits()) return false;
        }
        return true;
    }
    int hex4() {
        if (i_ + 4 > s_.size()) return -1;
        int value = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= c - '0';
            } else if (c >= 'a' && c <= 'f') {
                value |= c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                value |= c - 'A' + 10;
            } else {
                return -1;
            }
        }
        return value;
    }
    bool string() {
        if (peek() != '"') return false;
        ++i_;
        while (i_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                ++i_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                ++i_;
                const char e = peek();
                ++i_;
                if (e == 'u') {
                    const int unit = hex4();
                    if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return false;
                    if (unit >= 0xD800 && unit <= 0xDBFF) {  // the high half needs its low half
                        if (!literal("\\u")) return false;
                        const int low = hex4();
                        if (low < 0xDC00 || low > 0xDFFF) return false;
                    }
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos || e == '\0') {
                    return false;
                }
                continue;
            }
            const size_t length = utf8_sequence(s_, i_);
            if (length == 0) return false;
            i_ += length;
        }
        return false;
    }

    std::string_view s_;
    size_t i_ = 0;
};

// ------------------------------------------------------------------------------------------- the walk

// Walks the roots with the Walker and, beside it, with a stack of its own built from child_count/child_at:
// the two must agree event by event. Children of nodes chosen by `skip` are skipped in both.
void check_walk(const std::vector<NodeRef>& roots, uint64_t skip) {
    struct Open {
        NodeRef node;
        size_t next;
    };
    std::vector<Open> open;
    size_t next_root = 0;
    Walker walker(roots.data(), roots.size());
    uint64_t entered = 0;
    for (;;) {
        // The event the tree calls for next.
        bool enter;
        NodeRef node;
        size_t index;
        if (!open.empty() && open.back().next < child_count(open.back().node)) {
            index = open.back().next++;
            node = child_at(open.back().node, index);
            enter = true;
        } else if (!open.empty()) {
            node = open.back().node;
            enter = false;
            index = 0;
        } else if (next_root < roots.size()) {
            index = next_root;
            node = roots[next_root++];
            enter = true;
        } else {
            if (walker.next()) fail("the walk goes on after the tree's last node");
            return;
        }
        if (!walker.next()) fail("the walk ends before the tree does");
        if ((walker.event() == Event::Enter) != enter) fail("an Enter where a Leave belongs, or the reverse");
        if (walker.node().node != node.node || walker.node().type != node.type)
            fail("the walk's node is not the tree's");
        if (enter) {
            if (walker.depth() != open.size()) fail("a wrong depth");
            if (walker.index() != index) fail("a wrong index among siblings");
            if (!open.empty() && walker.parent().node != open.back().node.node) fail("a wrong parent");
            open.push_back({node, 0});
            // Some nodes have their children skipped, chosen by the input's bits.
            if (child_count(node) > 0 && ((skip >> (entered++ % 64)) & 1)) {
                walker.skip_children();
                open.back().next = child_count(node);
            }
        } else {
            open.pop_back();
        }
    }
}

// ----------------------------------------------------------------------------------------------- writers

std::vector<std::unique_ptr<Writer>> all_writers(std::vector<bool>& json) {
    std::vector<std::unique_ptr<Writer>> found;
    auto add = [&](std::unique_ptr<Writer> w, bool is_json) {
        found.push_back(std::move(w));
        json.push_back(is_json);
    };
    add(make_json_writer(JsonOptions{}), true);
    JsonOptions pretty;
    pretty.indent = true;
    pretty.indent_text = "  ";
    pretty.item_separator = ",";
    pretty.sort_keys = true;
    pretty.ensure_ascii = false;
    add(make_json_writer(pretty), true);
    JsonOptions compact;
    compact.item_separator = ",";
    compact.key_separator = ":";
    compact.ensure_ascii = false;
    add(make_json_writer(compact), true);
    add(make_text_writer(TextOptions{}), false);
    TextOptions urls;
    urls.link_urls = true;
    add(make_text_writer(urls), false);
    add(make_markdown_writer(MarkdownOptions{}), false);
    add(make_html_writer(HtmlOptions{}), false);
    HtmlOptions page;
    page.standalone = true;
    page.heading_ids = true;
    page.raw_html = RawHtml::Allow;
    add(make_html_writer(page), false);
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!is_valid_utf8(input)) return -1;  // the writers only ever see valid UTF-8

    Parser parser;
    const Document doc = parser.parse_internal(input);
    std::vector<NodeRef> roots;
    for (const Block& block : doc.blocks) roots.push_back(node_ref(block));
    uint64_t skip = 0;
    for (size_t i = 0; i < size && i < 8; ++i) skip = (skip << 8) | data[size - 1 - i];
    check_walk(roots, 0);
    check_walk(roots, skip);

    Source source;
    source.form = Source::Form::Result;
    source.document = view_of(doc);
    source.errors = parser.errors.data();
    source.error_count = parser.errors.size();

    std::vector<bool> json;
    std::vector<std::unique_ptr<Writer>> writers = all_writers(json);
    for (size_t w = 0; w < writers.size(); ++w) {
        Output whole;
        write(source, *writers[w], whole);
        if (!is_valid_utf8(whole.buffer())) fail("a writer wrote bytes that are not UTF-8", whole.buffer());
        if (json[w] && !JsonChecker(whole.buffer()).valid()) fail("the JSON writer wrote invalid JSON", whole.buffer());
        Output streamed;
        write_parsed(input, *writers[w], streamed);
        if (streamed.buffer() != whole.buffer()) fail("a streamed write differs from a write of the whole tree", input);
    }
    return 0;
}
