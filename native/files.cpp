// The command's fast path: the bytes of one input are checked, parsed and written straight to a file
// descriptor, block by block, with the GIL released. No str of the input and no whole output are ever held:
// what is kept is the input's bytes, one top-level block's tree and about one chunk of output.
#include "files.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "call.hpp"
#include "formats.hpp"
#include "pyql/entry.hpp"
#include "quillet/model.hpp"
#include "quillet/utf8.hpp"

namespace quillet::native {
namespace {

using writers::Output;
using writers::Source;
using writers::Writer;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The offset of the first byte that starts no well-formed UTF-8 sequence (the lead byte of a broken one),
// or -1 when all of `s` is well formed. It is the offset Python's decoder reports as the error's start.
int64_t invalid_utf8_at(std::string_view s) {
    const size_t at = quillet::invalid_utf8_at(s);
    return at == std::string_view::npos ? -1 : static_cast<int64_t>(at);
}

// The output failed with errno `code`.
struct WriteFailure {
    int code;
};
// A signal handler raised a Python exception while the output waited; it is set in the thread state.
struct Interrupted {};

// An Output that writes to a file descriptor as it goes (or, for fd -1, keeps everything). For JSON Lines,
// U+0085, U+2028 and U+2029 become \u escapes: line readers such as str.splitlines() take them for line
// ends, and one record must stay one line. They can only occur inside strings, where the escape means the
// same character.
class FdOutput : public Output {
public:
    FdOutput(int fd, bool escape_line_breaks, PyThreadState** thread)
        : fd_(fd), escape_(escape_line_breaks), thread_(thread) {}

    void finish() override { flush(true); }
    // Everything written, for fd -1.
    std::string& kept() { return kept_; }

protected:
    void spill() override { flush(false); }

private:
    void flush(bool last) {
        std::string_view data = buffer_;
        size_t keep = 0;
        if (escape_) {
            // A sequence cut at the end of the buffer is finished on the next round.
            if (!last && !data.empty()) {
                const unsigned char tail = static_cast<unsigned char>(data.back());
                if (tail == 0xC2 || tail == 0xE2) {
                    keep = 1;
                } else if (data.size() >= 2 && tail == 0x80 &&
                           static_cast<unsigned char>(data[data.size() - 2]) == 0xE2) {
                    keep = 2;
                }
            }
            escaped_.clear();
            escape_line_breaks(data.substr(0, data.size() - keep), escaped_);
            emit(escaped_);
        } else {
            emit(data);
        }
        buffer_.erase(0, buffer_.size() - keep);
    }

    static void escape_line_breaks(std::string_view in, std::string& out) {
        size_t start = 0;
        for (size_t i = 0; i < in.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(in[i]);
            if (c != 0xC2 && c != 0xE2) continue;
            const char* escape = nullptr;
            size_t length = 0;
            if (c == 0xC2 && in.substr(i, 2) == "\xC2\x85") {
                escape = "\\u0085", length = 2;
            } else if (in.substr(i, 3) == "\xE2\x80\xA8") {
                escape = "\\u2028", length = 3;
            } else if (in.substr(i, 3) == "\xE2\x80\xA9") {
                escape = "\\u2029", length = 3;
            }
            if (escape == nullptr) continue;
            out.append(in.substr(start, i - start));
            out.append(escape);
            i += length - 1;
            start = i + 1;
        }
        out.append(in.substr(start));
    }

    void emit(std::string_view data) {
        if (fd_ < 0) {
            kept_.append(data);
            return;
        }
        while (!data.empty()) {
            const ssize_t n = ::write(fd_, data.data(), data.size());
            if (n > 0) {
                data.remove_prefix(static_cast<size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                // Python's handlers run now, not after the whole output: Ctrl-C stops a write to a stalled pipe.
                PyEval_RestoreThread(*thread_);
                const int failed = PyErr_CheckSignals();
                *thread_ = PyEval_SaveThread();
                if (failed) throw Interrupted{};
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd wait{fd_, POLLOUT, 0};
                (void)::poll(&wait, 1, -1);
            } else {
                throw WriteFailure{n < 0 ? errno : EIO};
            }
        }
    }

    int fd_;
    bool escape_;
    PyThreadState** thread_;
    std::string escaped_;
    std::string kept_;
};

// The JSON writer writing only the document of a streamed ParseResult: the command writes the errors itself,
// with their lines and columns.
class DocumentOnly : public Writer {
public:
    explicit DocumentOnly(std::unique_ptr<Writer> inner) : inner_(std::move(inner)) {}
    void begin(const Source& source, Output& out) override { inner_->begin(as_document(source), out); }
    void node(writers::NodeRef top, size_t index, Output& out) override { inner_->node(top, index, out); }
    void end(const Source& source, Output& out) override { inner_->end(as_document(source), out); }

private:
    static Source as_document(const Source& source) {
        Source document = source;
        document.form = Source::Form::Document;
        document.errors = nullptr;
        document.error_count = 0;
        return document;
    }
    std::unique_ptr<Writer> inner_;
};

// The command's writers: JSON as its JSON Lines write it (compact, UTF-8 as is), text, Markdown and HTML
// as quillet.to_text, to_markdown and to_html write them by default ("html-page": with standalone=True),
// HTML with the options of `options` (a dict as to_html passes them, or null) but never a code hook.
// Null with the exception set.
std::unique_ptr<Writer> command_writer(std::string_view format, PyObject* options) {
    using namespace writers;
    if (format == "json") {
        JsonOptions o;
        o.item_separator = ",";
        o.key_separator = ":";
        o.ensure_ascii = false;
        return std::make_unique<DocumentOnly>(make_json_writer(o));
    }
    if (format == "text") return make_text_writer(TextOptions{});
    if (format == "markdown") return make_markdown_writer(MarkdownOptions{});
    if (format == "html" || format == "html-page") {
        HtmlOptions o;
        if (!quillet_native::html_options(options, o)) return nullptr;
        o.standalone = format == "html-page";
        o.code_block = nullptr;
        return make_html_writer(o);
    }
    PyErr_Format(PyExc_ValueError, "unknown format: %.100s", std::string(format).c_str());
    return nullptr;
}

bool profile_of(PyObject* name, Profile& out) {
    if (name == Py_None) {
        out = Profile::Quillet;
        return true;
    }
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "profile must be a str or None");
        return false;
    }
    const std::string_view s(text);
    for (size_t i = 0; i < std::size(quillet::kProfileNames); ++i) {
        if (quillet::kProfileNames[i] == s) {
            out = Profile(i);
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown profile: %s", text);
    return false;
}

// The member name of an error's kind (a literal of the model: NUL-terminated).
const char* kind_name(ParseErrorKind kind) {
    return quillet::name_at(quillet::kParseErrorKindMembers, size_t(kind)).data();
}

PyObject* error_list(const std::vector<ParseError>& errors) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(errors.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < errors.size(); ++i) {
        const ParseError& e = errors[i];
        PyObject* item;
        if (e.span) {
            item = Py_BuildValue("(s#sIIO)", e.message.data(), static_cast<Py_ssize_t>(e.message.size()),
                                 kind_name(e.kind), static_cast<unsigned>(e.span->start),
                                 static_cast<unsigned>(e.span->end), e.recoverable ? Py_True : Py_False);
        } else {
            item = Py_BuildValue("(s#sOOO)", e.message.data(), static_cast<Py_ssize_t>(e.message.size()),
                                 kind_name(e.kind), Py_None, Py_None, e.recoverable ? Py_True : Py_False);
        }
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// Collects the errors of a streamed parse, which write_parsed hands to the writer's end().
class KeepErrors : public Writer {
public:
    KeepErrors(Writer& inner, std::vector<ParseError>& errors) : inner_(inner), errors_(errors) {}
    void begin(const Source& source, Output& out) override { inner_.begin(source, out); }
    void node(writers::NodeRef top, size_t index, Output& out) override { inner_.node(top, index, out); }
    void end(const Source& source, Output& out) override {
        errors_.assign(source.errors, source.errors + source.error_count);
        inner_.end(source, out);
    }

private:
    Writer& inner_;
    std::vector<ParseError>& errors_;
};

struct Buffer {
    Py_buffer view{};
    bool held = false;
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
};

}  // namespace

PyObject* write_fd(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 5 || nargs > 6 || !PyLong_Check(args[1]) || !PyUnicode_Check(args[2]) || !PyBytes_Check(args[4]) ||
        (nargs == 6 && args[5] != Py_None && !PyDict_Check(args[5]))) {
        PyErr_SetString(PyExc_TypeError,
                        "write_fd(data: bytes-like, fd: int, format: str, profile: str | None, prefix: bytes, "
                        "options: dict | None = None)");
        return nullptr;
    }
    Buffer data;
    if (PyObject_GetBuffer(args[0], &data.view, PyBUF_SIMPLE) < 0) return nullptr;
    data.held = true;
    const long fd_value = PyLong_AsLong(args[1]);
    if (fd_value == -1 && PyErr_Occurred()) return nullptr;
    if (fd_value < -1 || fd_value > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "fd must be a file descriptor or -1");
        return nullptr;
    }
    const int fd = static_cast<int>(fd_value);
    const char* format = PyUnicode_AsUTF8(args[2]);
    if (format == nullptr) return nullptr;
    Profile profile{};
    if (!profile_of(args[3], profile)) return nullptr;
    const std::string_view prefix(PyBytes_AS_STRING(args[4]), static_cast<size_t>(PyBytes_GET_SIZE(args[4])));

    std::string_view input(static_cast<const char*>(data.view.buf), static_cast<size_t>(data.view.len));
    // Spans count from the byte after a byte-order mark, as when the command decodes the input.
    if (input.substr(0, kByteOrderMark.size()) == kByteOrderMark) input.remove_prefix(kByteOrderMark.size());
    if (!pyql::input_size_ok(input.size())) return nullptr;
    std::unique_ptr<Writer> writer = command_writer(format, nargs == 6 && args[5] != Py_None ? args[5] : nullptr);
    if (writer == nullptr) return nullptr;

    enum class Failure { None, BadUtf8, Memory, Write, Interrupted, Other } failure = Failure::None;
    int64_t bad_at = -1;
    int error_code = 0;
    std::string what;
    std::vector<ParseError> errors;
    PyThreadState* thread = PyEval_SaveThread();
    FdOutput out(fd, std::string_view(format) == "json", &thread);
    try {
        bad_at = invalid_utf8_at(input);
        if (bad_at >= 0) {
            failure = Failure::BadUtf8;
        } else {
            out.write(prefix);
            KeepErrors keeping(*writer, errors);
            writers::write_parsed(input, keeping, out, profile);
        }
    } catch (const std::bad_alloc&) {
        failure = Failure::Memory;
    } catch (const WriteFailure& e) {
        failure = Failure::Write;
        error_code = e.code;
    } catch (const Interrupted&) {
        failure = Failure::Interrupted;
    } catch (const std::exception& e) {
        failure = Failure::Other;
        what = e.what();
    }
    PyEval_RestoreThread(thread);
    switch (failure) {
        case Failure::None:
            break;
        case Failure::BadUtf8:
            PyErr_Format(PyExc_ValueError, "not valid UTF-8 (byte 0x%02x at offset %lld)",
                         static_cast<unsigned>(static_cast<unsigned char>(input[static_cast<size_t>(bad_at)])),
                         static_cast<long long>(bad_at));
            return nullptr;
        case Failure::Memory:
            return PyErr_NoMemory();
        case Failure::Write:
            errno = error_code;
            return PyErr_SetFromErrno(PyExc_OSError);
        case Failure::Interrupted:
            return nullptr;  // the handler's exception is set
        case Failure::Other:
            PyErr_Format(PyExc_RuntimeError, "quillet writer failed: %s", what.c_str());
            return nullptr;
    }
    PyObject* list = error_list(errors);
    if (list == nullptr || fd >= 0) return list;
    std::string& kept = out.kept();
    PyObject* bytes = PyBytes_FromStringAndSize(kept.data(), static_cast<Py_ssize_t>(kept.size()));
    if (bytes == nullptr) {
        Py_DECREF(list);
        return nullptr;
    }
    return Py_BuildValue("(NN)", list, bytes);
}

}  // namespace quillet::native
