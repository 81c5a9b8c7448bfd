// Typing of metadata values: booleans, integers, floats, lists, quoted and plain strings.
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>
#include <vector>

#include "quillet/parser.hpp"
#include "text.hpp"

namespace quillet {

AttrValue::~AttrValue() {
    if (list.empty()) return;
    // Nested lists are unrolled onto a work list, so a value nested a million levels deep does not recurse
    // once per level. A moved-from child holds an empty list, so destroying it ends at once.
    Seq<AttrValue> pending = std::move(list);
    while (!pending.empty()) {
        AttrValue v = std::move(pending.back());
        pending.pop_back();
        for (AttrValue& child : v.list) {
            if (!child.list.empty()) pending.push_back(std::move(child));
        }
        v.list.clear();
    }
}

namespace {

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_list_form(std::string_view t) {
    return t.size() >= 2 && t.front() == '[' && t.back() == ']';
}

bool is_quoted_form(std::string_view t) {
    return t.size() >= 2 && (t.front() == '"' || t.front() == '\'') && t.back() == t.front();
}

// An optional sign and one or more ASCII digits, in signed 64-bit range.
bool parse_int(std::string_view t, int64_t& out) {
    size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (i == t.size()) return false;
    for (size_t k = i; k < t.size(); ++k) {
        if (!is_digit(t[k])) return false;
    }
    // from_chars takes "-" but not "+"; the whole text must be consumed and in range.
    if (t[0] == '+') t.remove_prefix(1);
    int64_t value = 0;
    auto res = std::from_chars(t.data(), t.data() + t.size(), value);
    if (res.ec != std::errc() || res.ptr != t.data() + t.size()) return false;
    out = value;
    return true;
}

// The accepted float form: [+-] (digits "." digits* | "." digits) ([eE] [+-] digits)?
bool is_float_form(std::string_view t) {
    size_t i = 0;
    const size_t n = t.size();
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    size_t int_digits = 0;
    while (i < n && is_digit(t[i])) ++i, ++int_digits;
    if (i >= n || t[i] != '.') return false;
    ++i;
    size_t frac_digits = 0;
    while (i < n && is_digit(t[i])) ++i, ++frac_digits;
    if (int_digits == 0 && frac_digits == 0) return false;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
        size_t exp_digits = 0;
        while (i < n && is_digit(t[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == n;
}

// For a text of the float form whose value does not fit a double: true when its magnitude is too large
// (rather than too small). Decides from the decimal exponent of the first non-zero digit.
bool magnitude_too_large(std::string_view t) {
    size_t i = 0;
    if (t[i] == '+' || t[i] == '-') ++i;
    // Position of the first non-zero digit relative to the decimal point.
    int64_t lead = 0;
    bool found = false, after_point = false;
    int64_t int_digits = 0, zeros_after_point = 0;
    for (; i < t.size() && t[i] != 'e' && t[i] != 'E'; ++i) {
        char c = t[i];
        if (c == '.') {
            after_point = true;
            continue;
        }
        if (!found && c != '0') {
            found = true;
            lead = after_point ? -zeros_after_point : 0;
        }
        if (!after_point && found) ++int_digits;
        if (after_point && !found) ++zeros_after_point;
    }
    if (!found) return false;  // zero: never out of range
    // Decimal exponent of the value written as 0.d1d2... x 10^E.
    int64_t e = int_digits > 0 ? int_digits : lead;
    int64_t exp = 0;
    bool exp_negative = false;
    if (i < t.size()) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) exp_negative = t[i++] == '-';
        for (; i < t.size(); ++i) {
            if (exp < 100000000) exp = exp * 10 + (t[i] - '0');  // far beyond any double's range
        }
    }
    e += exp_negative ? -exp : exp;
    return e > 0;
}

bool parse_float(std::string_view t, double& out) {
    if (!is_float_form(t)) return false;
    const bool negative = t[0] == '-';
    if (t[0] == '+') t.remove_prefix(1);
    double value = 0.0;
    auto res = std::from_chars(t.data(), t.data() + t.size(), value, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        // The value is left unset here: too large gives infinity, too small zero, with the text's sign.
        value = magnitude_too_large(t) ? std::numeric_limits<double>::infinity() : 0.0;
        if (negative) value = -value;
    } else if (res.ec != std::errc() || res.ptr != t.data() + t.size()) {
        return false;
    }
    out = value;
    return true;
}

AttrValue parse_scalar(std::string_view t) {
    if (t.empty()) return AttrValue::make_string(t);
    if (t == "true") return AttrValue::make_bool(true);
    if (t == "false") return AttrValue::make_bool(false);
    int64_t i = 0;
    if (parse_int(t, i)) return AttrValue::make_int(i);
    double d = 0.0;
    if (t.find('.') != std::string_view::npos && parse_float(t, d)) return AttrValue::make_float(d);
    if (is_quoted_form(t)) return AttrValue::make_string(t.substr(1, t.size() - 2));
    return AttrValue::make_string(t);
}

// The value of one list element. The element holds no comma outside quotes (the split of the outer list
// saw the same bytes with the same quote state), so a nested list inside it has at most one element:
// the trimmed text between its brackets. A chain of nested lists is therefore followed with a loop, each
// level costing only the white space it trims.
void read_element(std::string_view t, AttrReader& out) {
    if (!is_list_form(t)) {
        out.scalar(parse_scalar(t));
        return;
    }
    size_t depth = 0;
    for (;;) {
        out.begin_list();
        ++depth;
        const std::string_view inner = trim(t.substr(1, t.size() - 2));
        if (inner.empty()) break;
        if (!is_list_form(inner)) {
            out.scalar(parse_scalar(inner));
            break;
        }
        t = inner;
    }
    while (depth-- > 0) out.end_list();
}

// Builds the AttrValue that a reader's calls describe.
class TreeBuilder final : public AttrReader {
public:
    explicit TreeBuilder(Arena* arena) : arena_(arena) {}

    void scalar(AttrValue value) override { slot() = std::move(value); }
    void begin_list() override {
        AttrValue& list = slot();
        list = AttrValue::make_list(arena_);
        open_.push_back(&list);
    }
    void end_list() override { open_.pop_back(); }
    AttrValue take() { return std::move(root_); }

private:
    // Where the next value goes: the root, or a new last element of the innermost open list. A list's
    // elements are added only while it is innermost, so the pointers to open lists stay valid.
    AttrValue& slot() {
        if (open_.empty()) return root_;
        return open_.back()->list.emplace_back();
    }

    Arena* arena_;
    AttrValue root_;
    std::vector<AttrValue*> open_;
};

}  // namespace

AttrValue Parser::parse_attr_value(std::string_view text, Arena* arena) {
    TreeBuilder builder(arena);
    read_attr_value(text, builder);
    return builder.take();
}

void read_attr_value(std::string_view text, AttrReader& out) {
    if (!is_list_form(text)) {
        out.scalar(parse_scalar(text));
        return;
    }
    out.begin_list();
    const std::string_view inner = text.substr(1, text.size() - 2);
    // Commas split the list unless a quote is open; double quotes and apostrophes share one flag, and
    // brackets are not counted.
    bool quoted = false;
    size_t piece_start = 0;
    auto add_piece = [&](size_t end) {
        std::string_view piece = trim(inner.substr(piece_start, end - piece_start));
        if (!piece.empty()) read_element(piece, out);
    };
    for (size_t i = 0; i < inner.size(); ++i) {
        const char c = inner[i];
        if (c == '"' || c == '\'') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            add_piece(i);
            piece_start = i + 1;
            quoted = false;
        }
    }
    add_piece(inner.size());
    out.end_list();
}

}  // namespace quillet
