"""A slow, plain model of the inline parser, kept to check the fast scanner.

reference(text, base) gives the inline nodes of `text` (the UTF-8 bytes of one
block's inline text, whose first byte lies at offset `base` of the document)
in the rendering of conftest.render, one string per top-level node.

It follows the rules one by one, with no attempt at speed: at each opening
character it searches forward for the closer; a construct that finds none is
ordinary text and the scan moves on by one byte.
"""

from conftest import q

SPACE, STAR, TILDE, TICK = b" "[0], b"*"[0], b"~"[0], b"`"[0]
OPENERS = b"*`[~<"


def node(name, start, end, *parts):
    return "(" + " ".join([name, f"{start}..{end}", *parts]) + ")"


def text(t, i, j, b):
    return node("Text", b + i, b + j, q(t[i:j].decode()))


def reference(t, b=0):
    out, s, pos = [], 0, 0
    while True:
        p = next((i for i in range(pos, len(t)) if t[i] in OPENERS), None)
        if p is None:
            break
        found = recognise(t, p, b)
        if found is None:  # declined: the opener stays in the pending text
            pos = p + 1
            continue
        made, e = found
        if s < p:
            out.append(text(t, s, p, b))
        out.append(made)
        pos = s = e
    if s < len(t):
        out.append(text(t, s, len(t), b))
    return out


def recognise(t, p, b):
    """(rendered node, index past it) for the construct opened at p, or None."""
    n, c = len(t), t[p]
    after = t[p + 1] if p + 1 < n else None
    if c == TICK:
        return code_span(t, p, b)
    if c == STAR:
        if after is None or after == SPACE:
            return None
        if after == STAR:
            return paired(t, p, b, STAR, "Strong")
        return emphasis(t, p, b)
    if c == TILDE:
        return paired(t, p, b, TILDE, "Strikethrough") if after == TILDE else None
    if c == b"["[0]:
        if after == b"^"[0]:
            return footnote_ref(t, p, b)
        if after == b"["[0]:
            return link(t, p, b)
        return None
    return autolink(t, p, b)


def code_span(t, p, b):
    k = t.find(b"`", p + 1)
    if k < 0:
        return None
    return node("CodeSpan", b + p, b + k + 1, q(t[p + 1:k].decode())), k + 1


def inner(name, t, c, k, b, p, e):
    return node(name, b + p, b + e, *reference(t[c:k], b + c)), e


def paired(t, p, b, ch, name):
    """Strong (`**`) or strikethrough (`~~`); t[p] and t[p+1] are ch."""
    n, c = len(t), p + 2
    if c >= n or t[c] == SPACE:
        return None
    k = t.find(ch, c)
    while k >= 0:
        if k + 1 < n and t[k + 1] == ch and k > c and t[k - 1] != SPACE:
            return inner(name, t, c, k, b, p, k + 2)
        k = t.find(ch, k + 1)
    return None


def emphasis(t, p, b):
    n, c = len(t), p + 1
    k = t.find(b"*", c)
    while k >= 0:
        if k + 1 < n and t[k + 1] == STAR:  # a `**` pair is passed over
            k = t.find(b"*", k + 2)
        elif t[k - 1] == SPACE:
            k = t.find(b"*", k + 1)
        else:
            return inner("Emphasis", t, c, k, b, p, k + 1)
    return None


def footnote_ref(t, p, b):
    k = t.find(b"]", p + 2)
    if k < 0:
        return None
    return node("FootnoteRef", b + p, b + k + 1, q(t[p + 2:k].decode())), k + 1


def link(t, p, b):
    c = p + 2
    k = t.find(b"]]", c)  # the first `]` followed by another `]`
    if k < 0:
        return None
    label, bar, url = t[c:k].partition(b"|")
    url = url if bar else label
    label_text = text(t, c, c + len(label), b)  # made even when empty
    return node("Link", b + p, b + k + 2, "url=" + q(url.decode()), label_text), k + 2


def autolink(t, p, b):
    k = t.find(b">", p + 1)
    if k < 0:
        return None
    u = t[p + 1:k]
    if not (b"://" in u or u.startswith(b"mailto:")) or b" " in u or b"\n" in u:
        return None
    return node("AutoLink", b + p, b + k + 1, q(u.decode())), k + 1
