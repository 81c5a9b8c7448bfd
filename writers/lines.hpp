// The line prefixes of open containers, for the writers that lay text out in lines (plain text, Markdown).
//
// A container (a quote, a list item, a footnote definition, an indented block) pushes the prefix of its
// first line and the prefix of every later one: "> " and "> ", "- " and "  ", "  " and "  ". A line begins
// with the prefix of every open container, outermost first: the first-line prefix of a container whose
// first line it is, the later-line prefix of the others. A container has begun once a line has begun while
// it was open, so the containers that have begun are always the outer ones; their prefixes, and those not
// yet written, are each kept joined in one string, so a line's prefix costs what it writes however deep
// the containers nest.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::writers {

class LinePrefixes {
public:
    void push(std::string_view first, std::string_view rest) {
        frames_.push_back(Frame{firsts_.size(), rests_.size()});
        firsts_ += first;
        rests_ += rest;
    }

    void pop() {
        firsts_.resize(frames_.back().first_at);
        rests_.resize(frames_.back().rest_at);
        frames_.pop_back();
        if (begun_ > frames_.size()) begun_ = frames_.size();
    }

    void clear() {
        frames_.clear();
        firsts_.clear();
        rests_.clear();
        begun_ = 0;
    }

    // The containers open.
    size_t depth() const { return frames_.size(); }
    // Whether the innermost open container has begun its first line (true when none is open).
    bool innermost_begun() const { return begun_ == frames_.size(); }

    // Begins a line: hands `out` its prefix, in one or two pieces.
    template <class Out>
    void begin_line(Out&& out) {
        if (begun_ == frames_.size()) {
            out(std::string_view(rests_));
            return;
        }
        const Frame& first_new = frames_[begun_];
        out(std::string_view(rests_).substr(0, first_new.rest_at));
        out(std::string_view(firsts_).substr(first_new.first_at));
        begun_ = frames_.size();
    }

    // The prefix of every later line of every open container: a blank line's, before its trailing blanks go.
    std::string_view rests() const { return rests_; }

private:
    struct Frame {
        size_t first_at;  // where its first-line prefix starts in firsts_
        size_t rest_at;   // where its later-line prefix starts in rests_
    };

    std::vector<Frame> frames_;
    std::string firsts_;
    std::string rests_;
    size_t begun_ = 0;  // frames_[0..begun_) have begun their first line
};

}  // namespace quillet::writers
