"""quillet lsp, driven as an editor drives it: a subprocess over stdio and
pygls' own client; its framing guard and TextIndex.line_offset directly."""

from __future__ import annotations

import asyncio
import io
import json
import re
import subprocess
import sys

import pytest

from conftest import bench_script, child_env
from quillet.textindex import TextIndex

TIMEOUT = 60  # seconds for one exchange: far above what any takes


@pytest.mark.parametrize(
    "text, starts",
    [
        ("", [0]),
        ("a", [0]),
        ("a\n", [0, 2]),
        ("\n\n", [0, 1, 2]),
        ("é😀\r\nb\n", [0, 8, 10]),
        # Lines across page boundaries, and a page with no line feed at all.
        ("x" * 5000 + "\n" + "é\n" * 3000 + "y" * 9000 + "\nz", None),
    ],
)
def test_line_offset_is_the_inverse_of_the_line_of_line_col(text, starts):
    index = TextIndex(text)
    data = index.data
    expected = starts or [0] + [i + 1 for i, byte in enumerate(data) if byte == 0x0A]
    assert [index.line_offset(line) for line in range(1, len(expected) + 1)] == expected
    assert all(index.line_col(offset)[0] == line for line, offset in enumerate(expected, 1))
    for line in (0, len(expected) + 1):
        with pytest.raises(ValueError, match="outside the text"):
            index.line_offset(line)


@pytest.mark.parametrize(
    "text",
    ["", "a", "é😀\r\nb\n", "a\rb\r\nc\r", "\r", "\r\n\r\n", "x\r\r\n😀\ré\n\n", "\n\n日本\r😀"],
)
@pytest.mark.parametrize("utf8", [False, True])
def test_positions_of_many_offsets_are_those_of_each(text, utf8):
    # In one pass, in any order: every offset (inside characters, between CR
    # and LF, past either end) lands where a lookup of it alone does.
    from quillet.lsp import Positions

    positions = Positions(TextIndex(text), utf8)
    offsets = [-(2**70), *range(-2, len(positions.index) + 3), 2**70]
    expected = [positions.position(offset) for offset in offsets]
    assert positions.many(offsets) == expected
    assert positions.many(offsets[::-1]) == expected[::-1]


def test_framing_guard_skips_oversized_bodies_and_finds_headers_again(monkeypatch):
    from quillet import lsp

    monkeypatch.setattr(lsp, "MAX_MESSAGE", 8)
    stream = lsp._Input(io.BytesIO(b"0123456789ab" + b'"}Content-Length: 3\r\n' + b"xyz"))
    assert stream.read(12) == b"\0"  # skipped whole, never allocated: no JSON
    assert stream.readline() == b"Content-Length: 3\r\n"
    assert stream.read(3) == b"xyz"
    assert stream.read(20) == b""  # the input ended


def test_without_pygls_the_command_says_how_to_install_it():
    # A module finder that refuses pygls stands for an environment without it.
    code = (
        "import sys\n"
        "class Refuse:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.split('.')[0] in ('pygls', 'lsprotocol'):\n"
        "            raise ImportError(name)\n"
        "sys.meta_path.insert(0, Refuse())\n"
        "from quillet.cli import main\n"
        "sys.exit(main(['lsp']))\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env(), timeout=TIMEOUT)
    assert run.returncode == 2
    assert 'pip install "quillet-parser[lsp]"' in run.stderr


# ---------------------------------------------------------------------------
# The server as a subprocess

pytest.importorskip("pygls")
from lsprotocol import types  # noqa: E402
from pygls.exceptions import JsonRpcException  # noqa: E402
from pygls.lsp.client import LanguageClient  # noqa: E402

URI = "file:///notes.qlt"
P = types.Position
families = bench_script("families.py")

# Non-ASCII before each interesting column: é is 2 UTF-8 bytes and 1 UTF-16
# unit, 😀 4 bytes and 2 units. Columns below are (UTF-16, UTF-8).
DOC = (
    "@modules tables\n"  # 0
    "--- meta ---\n"  # 1
    "title: é😀\n"  # 2
    "---\n"  # 3
    "# Tour é😀\n"  # 4
    "\n"  # 5
    "é😀 see [a](b) and note[^n].\n"  # 6
    "\n"  # 7
    "::table\n"  # 8
    "| a |\n"  # 9
    "::\n"  # 10
    "\n"  # 11
    "## Sub\n"  # 12
    "\n"  # 13
    "::callout type=tip\n"  # 14
    "Hi[^n] and [^none].\n"  # 15
    "::\n"  # 16
    "\n"  # 17
    "::footnotes\n"  # 18
    "[^n]: The é note.\n"  # 19
    "::\n"  # 20
    "\n"  # 21
    "é😀 ::bogus\n"  # 22
    "::bogus\n"  # 23
)


def col(units16, units8, utf8):
    return units8 if utf8 else units16


class Session:
    """One server process and a pygls client on an event loop of its own."""

    def __init__(self, encodings):
        self.loop = asyncio.new_event_loop()
        self.client = LanguageClient("quillet-tests", "1")
        self.published = {}
        self.stderr = bytearray()

        @self.client.feature(types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
        def published(params):
            self.published.setdefault(params.uri, []).append(params)

        self.run(self.client.start_io(sys.executable, "-m", "quillet.cli", "lsp", env=child_env()))
        # Drained as it comes: a full pipe would stop the server.
        self.drain = self.loop.create_task(self._drain(self.client._server.stderr))
        general = types.GeneralClientCapabilities(position_encodings=encodings) if encodings is not None else None
        self.init = self.run(
            self.client.initialize_async(
                types.InitializeParams(capabilities=types.ClientCapabilities(general=general))
            )
        )
        self.client.initialized(types.InitializedParams())
        self.utf8 = self.init.capabilities.position_encoding == types.PositionEncodingKind.Utf8

    async def _drain(self, stream):
        while chunk := await stream.read(65536):
            self.stderr += chunk

    def run(self, awaitable, timeout=TIMEOUT):
        return self.loop.run_until_complete(asyncio.wait_for(awaitable, timeout))

    def open(self, uri, text, version=1):
        self.client.text_document_did_open(
            types.DidOpenTextDocumentParams(types.TextDocumentItem(uri, "quillet", version, text))
        )
        return self.diagnostics(uri, version)

    def diagnostics(self, uri, version):
        """The diagnostics published for that version of the document."""

        async def wait():
            while True:
                for params in self.published.get(uri, []):
                    if params.version == version:
                        return params.diagnostics
                await asyncio.sleep(0.01)

        return self.run(wait())

    def change(self, uri, version, *changes):
        self.client.text_document_did_change(
            types.DidChangeTextDocumentParams(
                types.VersionedTextDocumentIdentifier(version=version, uri=uri), list(changes)
            )
        )
        return self.diagnostics(uri, version)

    def doc(self, uri=URI):
        return types.TextDocumentIdentifier(uri)

    def kill(self):
        """Ends a server that no longer answers."""
        self.client._server.kill()
        self.run(self.client._server.wait())
        self.run(self.drain)
        self.run(self.client.stop())
        self.loop.close()

    def close(self):
        self.run(self.client.shutdown_async(None))
        self.client.exit(None)
        code = self.run(self.client._server.wait())
        self.run(self.drain)
        self.run(self.client.stop())
        self.loop.close()
        return code


@pytest.fixture(scope="module", params=[None, ["utf-8", "utf-16"]], ids=["utf-16", "utf-8"])
def session(request):
    session = Session(request.param)
    session.open(URI, DOC)
    yield session
    assert session.close() == 0, session.stderr.decode(errors="replace")


def spans(session, ranges):
    return [(r.start.line, r.start.character, r.end.line, r.end.character) for r in ranges]


@pytest.mark.parametrize(
    "offered, chosen",
    [
        (None, "utf-16"),
        (["utf-32", "utf-16"], "utf-16"),
        (["utf-32", "utf-8"], "utf-8"),  # UTF-8 wherever the client offers it
    ],
)
def test_position_encoding(offered, chosen):
    session = Session(offered)
    try:
        assert session.init.capabilities.position_encoding == chosen
        sync = session.init.capabilities.text_document_sync
        assert sync.change == types.TextDocumentSyncKind.Incremental
    finally:
        assert session.close() == 0


def test_diagnostics_on_open_have_exact_ranges_and_codes(session):
    utf8 = session.utf8
    found = session.published[URI][0].diagnostics
    assert [(d.code, d.severity, d.source) for d in found] == [
        ("markdown-link", types.DiagnosticSeverity.Warning, "quillet"),
        ("undefined-footnote", types.DiagnosticSeverity.Warning, "quillet"),
        ("unknown-directive", types.DiagnosticSeverity.Error, "quillet"),
    ]
    assert spans(session, [d.range for d in found]) == [
        (6, col(8, 11, utf8), 6, col(14, 17, utf8)),
        (15, 11, 15, 18),
        (23, 0, 23, 7),
    ]
    assert "hint: " in found[0].message


def test_edits_update_the_diagnostics(session):
    uri, utf8 = "file:///edits.qlt", session.utf8
    assert session.open(uri, "é😀 x\n::bogus\n") != []
    Partial = types.TextDocumentContentChangePartial
    steps = [
        # An insertion after the non-ASCII characters lands where the client put it.
        (Partial(types.Range(P(0, col(4, 7, utf8)), P(0, col(4, 7, utf8))), "[a](b) "),
         [("markdown-link", (0, col(4, 7, utf8), 0, col(10, 13, utf8))), ("unknown-directive", (1, 0, 1, 7))]),
        # A replacement across the line break, and a position past its line's end (clamped).
        (Partial(types.Range(P(0, col(4, 7, utf8)), P(1, 99)), "y"), []),
        # Several changes in one notification, applied in order.
        (Partial(types.Range(P(0, 0), P(0, 0)), "::nope\n"), [("unknown-directive", (0, 0, 0, 6))]),
        (types.TextDocumentContentChangeWholeDocument("# Whole\n\n::zap\n"), [("unknown-directive", (2, 0, 2, 5))]),
    ]
    for version, (change, expected) in enumerate(steps, 2):
        found = session.change(uri, version, change)
        assert [(d.code, spans(session, [d.range])[0]) for d in found] == expected, version
    session.client.text_document_did_close(types.DidCloseTextDocumentParams(session.doc(uri)))


def test_document_symbols_nest_the_outline_with_directives(session):
    result = session.run(
        session.client.text_document_document_symbol_async(types.DocumentSymbolParams(session.doc()))
    )

    def outline(symbols):
        return [(s.name, s.range.start.line, outline(s.children or [])) for s in symbols]

    assert outline(result) == [
        ("Tour é😀", 4, [
            ("::table", 8, []),
            ("Sub", 12, [("::callout type=tip", 14, []), ("::footnotes", 18, []), ("::bogus", 23, [])]),
        ]),
    ]
    heading = result[0].selection_range
    assert (heading.end.line, heading.end.character) == (4, col(10, 13, session.utf8))


def test_symbol_kinds_are_those_editors_show_for_documents():
    # Headings as the Markdown servers give them (String); a code block is
    # text kept as written (Object), never a Function.
    from quillet import lsp

    text = "# Top\n\n```py\nx\n```\n\n::table\n| a |\n::\n\n::html\n<b>\n::\n"
    symbols = json.loads(lsp.symbols(lsp.Document(URI, text, 1, False)))
    kinds = [(s["name"], types.SymbolKind(s["kind"]).name) for s in symbols]
    kinds += [(c["name"], types.SymbolKind(c["kind"]).name) for c in symbols[0]["children"]]
    assert kinds == [("Top", "String"), ("```py", "Object"), ("::table", "Array"), ("::html", "Object")]


def test_folding_ranges(session):
    result = session.run(session.client.text_document_folding_range_async(types.FoldingRangeParams(session.doc())))
    assert sorted((r.start_line, r.end_line) for r in result) == [
        (1, 3),  # the metadata block
        (4, 23),  # section Tour
        (8, 10),  # ::table
        (12, 23),  # section Sub
        (14, 16),  # ::callout
        (18, 20),  # ::footnotes
    ]


# Headings closing several sections at once, empty titles, blocks before the
# first heading and after a subsection, names to escape, an empty document.
OUTLINES = [
    DOC,
    "::quote\nq\n::\n\n# \n## **x** \"y\\\" \u0007\n::table\n| a |\n::\n### \n# *z*\n#### deep\n```py\nx\n```\n## two\n\n \n",
    "",
]


@pytest.mark.parametrize("text", OUTLINES)
@pytest.mark.parametrize("utf8", [False, True])
def test_answers_written_as_json_are_what_pygls_writes(text, utf8):
    # Symbols and folding ranges are sent as JSON written by the server: read
    # back into the protocol's classes and written by pygls' converter, they
    # give the same text, byte for byte.
    from lsprotocol.converters import get_converter
    from quillet import lsp

    converter = get_converter()
    document = lsp.Document(URI, text, 1, utf8)
    for answer, cls in ((lsp.symbols(document), types.DocumentSymbol), (lsp.folding_ranges(document), types.FoldingRange)):
        assert json.dumps(converter.unstructure(converter.structure(json.loads(answer), list[cls]))) == answer


def test_edits_update_every_answer(session):
    uri = "file:///outline-edits.qlt"
    client, doc = session.client, session.doc(uri)
    session.open(uri, "# A\n\nsee[^n]\n")
    Partial = types.TextDocumentContentChangePartial
    session.change(uri, 2, Partial(types.Range(P(3, 0), P(3, 0)), "## B\n::footnotes\n[^n]: one\n::\n"))
    result = session.run(client.text_document_document_symbol_async(types.DocumentSymbolParams(doc)))
    assert [(s.name, [(c.name, c.range.start.line) for c in s.children]) for s in result] == [
        ("A", [("B", 3)]),
    ]
    assert result[0].children[0].children[0].name == "::footnotes"
    result = session.run(client.text_document_folding_range_async(types.FoldingRangeParams(doc)))
    assert [(r.start_line, r.end_line) for r in result] == [(0, 6), (3, 6), (4, 6)]
    shown = session.run(client.text_document_hover_async(types.HoverParams(doc, P(2, 4))))
    assert shown.contents.value == "one"
    session.change(uri, 3, Partial(types.Range(P(5, 6), P(5, 9)), "two"))
    shown = session.run(client.text_document_hover_async(types.HoverParams(doc, P(2, 4))))
    assert shown.contents.value == "two"
    client.text_document_did_close(types.DidCloseTextDocumentParams(doc))


@pytest.mark.parametrize(
    "line, units16, units8, definitions, references",
    [
        # References as (line, UTF-16 column, UTF-8 column).
        (6, 23, 26, [(19, 0, 19, 4)], [(6, 23, 26), (15, 2, 2)]),  # on [^n]
        (19, 1, 1, [(19, 0, 19, 4)], [(6, 23, 26), (15, 2, 2)]),  # on the definition's label
        (15, 13, 13, [], [(15, 11, 11)]),  # a reference without a definition
        (15, 0, 0, [], []),  # no footnote there
    ],
)
def test_footnote_definition_references_and_hover(session, line, units16, units8, definitions, references):
    utf8 = session.utf8
    where = P(line, col(units16, units8, utf8))
    client, doc = session.client, session.doc()
    found = session.run(client.text_document_definition_async(types.DefinitionParams(doc, where)))
    assert spans(session, [loc.range for loc in found or []]) == definitions
    for declaration in (False, True):
        refs = session.run(
            client.text_document_references_async(
                types.ReferenceParams(types.ReferenceContext(include_declaration=declaration), doc, where)
            )
        )
        expected = [(ln, col(a, b, utf8)) for ln, a, b in references]
        if declaration and definitions:
            expected = sorted(expected + [(19, 0)])
        assert [(r.range.start.line, r.range.start.character) for r in refs or []] == expected
    shown = session.run(client.text_document_hover_async(types.HoverParams(doc, where)))
    if definitions:
        assert shown.contents.value == "The é note."
    elif references:
        assert "no definition" in shown.contents.value
    else:
        assert shown is None


def completion_labels(found):
    return [item.label for item in (found.items if isinstance(found, types.CompletionList) else found or [])]


@pytest.mark.parametrize(
    "text, character, labels",
    [
        ("::ta", 4, ["list", "math", "html", "quote", "table", "figure", "callout", "footnotes"]),
        ("@modules tables, ", 17, ["footnotes", "math", "tasks", "strikethrough", "autolink", "html"]),
        ("::callout ", 10, ["type=", "title="]),
        ("::callout type=", 15, ["note", "tip", "important", "warning", "caution"]),
        ('::callout title="a ', 19, []),  # inside a quoted value
        ("::figure al", 11, ["src=", "alt=", "caption="]),
        ("plain text", 5, []),
    ],
)
def test_completion(session, text, character, labels):
    uri = "file:///complete.qlt"
    session.open(uri, "é😀\n" + text + "\n")
    found = session.run(
        session.client.text_document_completion_async(types.CompletionParams(session.doc(uri), P(1, character)))
    )
    assert completion_labels(found) == labels
    session.client.text_document_did_close(types.DidCloseTextDocumentParams(session.doc(uri)))


def test_bad_input_is_answered_and_the_server_keeps_serving(session):
    client, stdin = session.client, session.client._server.stdin

    def raw(body):
        stdin.write(b"Content-Length: %d\r\n\r\n" % len(body) + body)

    # Garbage, a message that is no request, and a body cut short whose
    # missing bytes swallow the start of a throwaway notification after it.
    raw(b"{not json")
    raw(b"[1, 2]")
    stdin.write(b'Content-Length: 80\r\n\r\n{"jsonrpc": "2.0", "method": "initialized"')
    raw(json.dumps({"jsonrpc": "2.0", "method": "$/thrownAway", "params": {"pad": "x" * 40}}).encode())
    # A request the server cannot read gets an error response.
    answer = session.loop.create_future()
    client.protocol._request_futures["bad"] = answer  # the client's own table of pending requests
    raw(json.dumps({"jsonrpc": "2.0", "id": "bad", "method": "textDocument/hover", "params": {"x": 1}}).encode())
    with pytest.raises(JsonRpcException, match="Invalid Params"):
        session.run(answer)
    # Unknown documents and positions far out of range are answered.
    far = P(10**6, 10**6)
    assert session.run(client.text_document_hover_async(types.HoverParams(session.doc("file:///none"), far))) is None
    assert session.run(client.text_document_hover_async(types.HoverParams(session.doc(), far))) is None
    assert session.run(
        client.text_document_document_symbol_async(types.DocumentSymbolParams(session.doc("file:///none")))
    ) == []
    # A lone surrogate (JSON can carry one) keeps every position where it was.
    found = session.open("file:///surrogate.qlt", "a\ud800b\n::bogus\n")
    assert [(d.code, d.range.start.line) for d in found] == [("unknown-directive", 1)]
    # Every hostile family: diagnostics, symbols, folding ranges and completion.
    for name, build in sorted(families.FAMILIES.items()):
        uri = f"file:///{name}.qlt"
        session.open(uri, build(20_000).text)
        doc = session.doc(uri)
        session.run(client.text_document_document_symbol_async(types.DocumentSymbolParams(doc)))
        session.run(client.text_document_folding_range_async(types.FoldingRangeParams(doc)))
        session.run(client.text_document_completion_async(types.CompletionParams(doc, far)))  # at the end
        client.text_document_did_close(types.DidCloseTextDocumentParams(doc))
    assert session.run(
        client.text_document_document_symbol_async(types.DocumentSymbolParams(session.doc()))
    )[0].name == "Tour é😀"
    assert b"Unable to" in session.stderr  # the messages it could not read were logged


def test_completion_after_a_megabyte_of_name_characters():
    # A line of 1 MB of name characters, then a trigger character: answered in
    # milliseconds, where a search for the name that starts again at every
    # position of the line takes hours.
    text = families.long_word(families.MB).text
    session = Session(None)
    try:
        session.open(URI, text)
        found = session.run(
            session.client.text_document_completion_async(types.CompletionParams(session.doc(), P(0, len(text)))), 20
        )
    except BaseException:
        session.kill()
        raise
    assert completion_labels(found) == []
    assert session.close() == 0


# A lone CR ends a line for the editor but not for the parser, to which it is
# text. Lines as the editor counts them; the parser's paragraph on lines 3 to
# 6 is one line to it, and so is the one on lines 17 and 18.
CR_DOC = (
    "@modules tables\n"  # 0
    "# Tour\n"  # 1
    "\n"  # 2
    "é😀 a\r"  # 3
    "b é😀 [a](b)\r"  # 4
    "\r"  # 5
    "note[^n].\n"  # 6
    "\n"  # 7
    "::table\r\n"  # 8
    "| a |\r\n"  # 9
    "::\r\n"  # 10
    "\n"  # 11
    "::footnotes\n"  # 12
    "[^n]: The é\r"  # 13
    "note.\n"  # 14
    "::\n"  # 15
    "\n"  # 16
    "é😀\r"  # 17
    "::bogus\n"  # 18: text, in the paragraph of line 17
    "::bogus\n"  # 19
)


def test_lone_carriage_returns_end_lines_in_every_position(session):
    uri, utf8 = "file:///cr.qlt", session.utf8
    client, doc = session.client, session.doc(uri)
    found = session.open(uri, CR_DOC)
    assert [(d.code, spans(session, [d.range])[0]) for d in found] == [
        ("markdown-link", (4, col(6, 9, utf8), 4, col(12, 15, utf8))),
        ("unknown-directive", (19, 0, 19, 7)),
    ]
    result = session.run(client.text_document_document_symbol_async(types.DocumentSymbolParams(doc)))

    def outline(symbols):
        return [(s.name, s.range.start.line, s.range.end.line, outline(s.children or [])) for s in symbols]

    assert outline(result) == [
        ("Tour", 1, 20, [("::table", 8, 10, []), ("::footnotes", 12, 15, []), ("::bogus", 19, 19, [])]),
    ]
    result = session.run(client.text_document_folding_range_async(types.FoldingRangeParams(doc)))
    assert sorted((r.start_line, r.end_line) for r in result) == [(1, 19), (8, 10), (12, 15)]
    for where in (P(6, 5), P(13, 1)):  # the reference and the definition's label
        found = session.run(client.text_document_definition_async(types.DefinitionParams(doc, where)))
        assert spans(session, [loc.range for loc in found]) == [(13, 0, 13, 4)]
        refs = session.run(
            client.text_document_references_async(
                types.ReferenceParams(types.ReferenceContext(include_declaration=False), doc, where)
            )
        )
        assert spans(session, [loc.range for loc in refs]) == [(6, 4, 6, 8)]
    shown = session.run(client.text_document_hover_async(types.HoverParams(doc, P(6, 5))))
    assert shown.contents.value.startswith("The é") and spans(session, [shown.range]) == [(6, 4, 6, 8)]
    # After "::" on a line of its own, and on a line the parser reads as text.
    for where, expected in ((P(12, 2), ["list"]), (P(18, 2), [])):
        found = session.run(client.text_document_completion_async(types.CompletionParams(doc, where)))
        assert completion_labels(found)[:1] == expected
    client.text_document_did_close(types.DidCloseTextDocumentParams(doc))


def test_edits_across_lone_carriage_returns(session):
    uri, utf8 = "file:///cr-edits.qlt", session.utf8
    assert not session.open(uri, "é😀 x\r::bogus\n")  # one line of text to the parser
    Partial = types.TextDocumentContentChangePartial
    link1 = ("markdown-link", (1, 0, 1, 6))
    steps = [
        # The lone CR at the end of line 0 becomes a line feed: "::bogus" opens a directive.
        (Partial(types.Range(P(0, col(4, 7, utf8)), P(1, 0)), "\n"), [("unknown-directive", (1, 0, 1, 7))]),
        # Text with a lone CR inserted at the start of line 1: "::bogus" moves to line 2, as text.
        (Partial(types.Range(P(1, 0), P(1, 0)), "[a](b)\ré😀\r"), [link1]),
        # The lone CR after the non-ASCII characters of line 2 becomes a line feed.
        (Partial(types.Range(P(2, col(3, 6, utf8)), P(3, 0)), "\n"), [link1, ("unknown-directive", (3, 0, 3, 7))]),
        # An insertion after them, on the line that follows a lone CR.
        (Partial(types.Range(P(2, col(3, 6, utf8)), P(2, col(3, 6, utf8))), " [c](d)"),
         [link1, ("markdown-link", (2, col(4, 7, utf8), 2, col(10, 13, utf8))), ("unknown-directive", (3, 0, 3, 7))]),
    ]
    for version, (change, expected) in enumerate(steps, 2):
        found = session.change(uri, version, change)
        assert [(d.code, spans(session, [d.range])[0]) for d in found] == expected, version
    session.client.text_document_did_close(types.DidCloseTextDocumentParams(session.doc(uri)))


def message(method, msg_id=None, **params):
    return {"jsonrpc": "2.0", "method": method, "params": params, **({} if msg_id is None else {"id": msg_id})}


INIT = [message("initialize", 1, capabilities={}), message("initialized")]
HOVER = message("textDocument/hover", 3, textDocument={"uri": URI}, position={"line": 0, "character": 0})
OPEN = message("textDocument/didOpen", textDocument={"uri": URI, "languageId": "q", "version": 1, "text": "::x\n"})
EXIT = {"jsonrpc": "2.0", "method": "exit"}


@pytest.mark.parametrize(
    "messages, answers, status",
    [
        # Before initialize a request gets ServerNotInitialized and a
        # notification is dropped (no diagnostics); exit without shutdown ends with 1.
        ([HOVER, OPEN, EXIT], [(3, -32002)], 1),
        ([*INIT, OPEN, EXIT], [(1, "result"), "textDocument/publishDiagnostics"], 1),
        # After shutdown a request gets InvalidRequest; exit ends with 0.
        ([*INIT, message("shutdown", 2), HOVER, EXIT], [(1, "result"), (2, "result"), (3, -32600)], 0),
        ([*INIT], [(1, "result")], 0),  # the input ends without exit
    ],
)
def test_protocol_order_and_exit_status(messages, answers, status):
    bodies = [json.dumps(m).encode() for m in messages]
    run = subprocess.run([sys.executable, "-m", "quillet.cli", "lsp"], capture_output=True, env=child_env(),
                         input=b"".join(b"Content-Length: %d\r\n\r\n%s" % (len(b), b) for b in bodies),
                         timeout=TIMEOUT)
    got, data = [], run.stdout
    while data:
        head, _, data = data.partition(b"\r\n\r\n")
        length = int(re.search(rb"Content-Length: (\d+)", head)[1])
        m, data = json.loads(data[:length]), data[length:]
        got.append(m["method"] if "method" in m else (m["id"], m["error"]["code"] if "error" in m else "result"))
    assert (got, run.returncode) == (answers, status), run.stderr.decode(errors="replace")
