#!/usr/bin/python3
"""Turns a page of the README (an HTML block after a "<!-- page: NAME -->" line) into a script our script host
runs the way a browser runs the page, for the target the test runs on.

What a browser does with the page and the host does not, this does:
- <object id="X" classid="clsid:..."> makes X the element holding that object (Host.Element): the drop-area
  control embedded in a window of the host's (Host.Embed), every other class made (Host.CreateObject).
- <script for="X" event="E(a, b)"> becomes X.attachEvent("E", function (a, b) {...}) in JScript, and in
  VBScript the procedure X_E(a, b), which the host binds to X's events as a browser binds a VBScript page's
  X_E procedures.
- <input id="I" value="V"> gives the element I the value V (or the test's value for I).
- The other scripts run in the order the page has them; a button's onclick code runs when a step clicks it.
The page's language is VBScript when its scripts say language="VBScript" (or type="text/vbscript").

The page is written for the 32-bit build; on the 64-bit target its class identifiers and ProgIDs become the
64-bit build's (read from the identity table in com/CMakeLists.txt).

Steps (Host.When) follow the page's scripts: each waits for a printed line that matches its pattern and then
  click:ID     runs the onclick code of button ID
  drop:ID:P|P  drops the files P... on the control of object element ID (Host.DropFiles)
  run:CODE     runs CODE (in the page's language)
  end          ends the page
"""
import html.parser
import os
import re

SOURCE_ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PAGE_MARKER = re.compile(r"^<!-- page: ([\w-]+) -->\s*$")


def page_html(readme, name):
    """The HTML of the fenced block that follows the marker line of page NAME."""
    lines = open(readme, encoding="utf-8").read().split("\n")
    for i, line in enumerate(lines):
        match = PAGE_MARKER.match(line)
        if not match or match.group(1) != name:
            continue
        j = i + 1
        while j < len(lines) and not lines[j].strip():
            j += 1
        if j >= len(lines) or not lines[j].startswith("```"):
            raise ValueError("page %s: no fenced block after its marker" % name)
        end = j + 1
        while end < len(lines) and not lines[end].startswith("```"):
            end += 1
        return "\n".join(lines[j + 1:end])
    raise ValueError("%s has no page %s" % (readme, name))


class Identities:
    """Each class's CLSID per build (from the build's identity table) and whether it is a control (from the type
    library's source)."""

    def __init__(self, table_path=os.path.join(SOURCE_ROOT, "com", "CMakeLists.txt"),
                 idl_path=os.path.join(SOURCE_ROOT, "com", "Korvane.idl")):
        table = open(table_path, encoding="utf-8").read()
        branches = re.search(r"if\(KORVANE_64\)(.*?)else\(\)(.*?)endif\(\)", table, re.S)
        if not branches:
            raise ValueError("%s: no per-build identifiers" % table_path)

        def clsids(block):
            return {name: guid.upper() for name, guid in
                    re.findall(r"set\((\w+)\s+([0-9A-Fa-f-]{36})\s+[0-9A-Fa-f-]{36}\s+[0-9A-Fa-f-]{36}\)", block)}

        self.clsid64, self.clsid32 = clsids(branches.group(1)), clsids(branches.group(2))
        if not self.clsid32 or set(self.clsid32) != set(self.clsid64):
            raise ValueError("%s: the builds' classes differ" % table_path)
        text = open(idl_path, encoding="utf-8").read()
        self.controls = set(re.findall(r"uuid\(KORVANE_CLSID_\w+\),\s*control,[^\]]*\]\s*coclass (\w+)", text))

    def class_of(self, clsid):
        """The class that CLSID names, in either build."""
        for name in self.clsid32:
            if clsid.upper() in (self.clsid32[name], self.clsid64[name]):
                return name
        raise ValueError("the page names %s, which is no class of ours" % clsid)

    def for_target(self, text, arch):
        """The page's text for the target: on x86_64 the 64-bit build's CLSIDs and ProgIDs."""
        if arch != "x86_64":
            return text
        for name, guid in self.clsid32.items():
            text = re.sub(re.escape(guid), self.clsid64[name], text, flags=re.I)
        names = "|".join(sorted(self.clsid32))
        return re.sub(r"\bTamsic\.(%s)(?=\.1\b|\b)" % names, r"Tamsic.\g<1>64", text)


class Page(html.parser.HTMLParser):
    """The parts of a page that the script needs, in the page's order."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.objects = []   # (id, clsid)
        self.fields = []    # (id, value)
        self.buttons = {}   # id: onclick code
        self.scripts = []   # (for, event, code)
        self.language = None
        self._script = None
        self.feed(text)
        self.close()
        if self._script is not None:
            raise ValueError("a <script> is not closed")

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "object":
            classid = a.get("classid", "")
            if not a.get("id") or not classid.lower().startswith("clsid:"):
                raise ValueError("an <object> needs an id and a classid clsid:...")
            self.objects.append((a["id"], classid[len("clsid:"):]))
        elif tag == "input" and a.get("id"):
            self.fields.append((a["id"], a.get("value") or ""))
        elif tag == "button" and a.get("id"):
            self.buttons[a["id"]] = a.get("onclick") or ""
        elif tag == "script":
            kind = (a.get("language") or a.get("type") or "javascript").lower()
            language = "VBScript" if "vbscript" in kind else "JScript"
            if self.language and self.language != language:
                raise ValueError("a page in two languages")
            self.language = language
            self._script = [a.get("for"), a.get("event"), []]

    def handle_endtag(self, tag):
        if tag == "script" and self._script is not None:
            target, event, parts = self._script
            self.scripts.append((target, event, "".join(parts)))
            self._script = None

    def handle_data(self, data):
        if self._script is not None:
            self._script[2].append(data)


def quote(text, language):
    if language == "VBScript":
        return '"' + text.replace('"', '""') + '"'
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def script(readme, name, arch, values, steps):
    """The host script of page NAME for target ARCH: the language and the text. VALUES gives input fields
    the test's values; STEPS is a list of (pattern, action)."""
    identities = Identities()
    page = Page(identities.for_target(page_html(readme, name), arch))
    language = page.language or "JScript"
    vb = language == "VBScript"
    out = []
    for element, clsid in page.objects:
        make = "Host.Embed" if identities.class_of(clsid) in identities.controls else "Host.CreateObject"
        made = "Host.Element(%s(%s))" % (make, quote("{%s}" % clsid, language))
        out.append(("Set %s = %s" if vb else "var %s = %s;") % (element, made))
    for field, value in page.fields:
        value = values.get(field, value)
        out.append(("Host.Field %s, \"value\", %s" if vb else "Host.Field(%s, \"value\", %s);") %
                   (quote(field, language), quote(value, language)))
    for target, event, code in page.scripts:
        if not target:
            out.append(code)
            continue
        match = re.match(r"^\s*(\w+)\s*(?:\((.*)\))?\s*$", event or "")
        if not match:
            raise ValueError("<script for=%s>: event %r" % (target, event))
        if vb:
            out.append("Sub %s_%s(%s)\n%s\nEnd Sub" % (target, match.group(1), match.group(2) or "", code))
        else:
            out.append("%s.attachEvent(%s, function (%s) {%s});" %
                       (target, quote(match.group(1), language), match.group(2) or "", code))
    if vb:
        # A browser binds a VBScript page's X_E procedures to the events of its object element X.
        for element, _ in page.objects:
            out.append("Host.ConnectObject %s.object, %s" % (element, quote(element + "_", language)))
    for pattern, action in steps:
        code = step_code(page, action, language)
        out.append(("Host.When %s, %s" if vb else "Host.When(%s, %s);") %
                   (quote(pattern, language), quote(code, language)))
    return language, "\n".join(out) + "\n"


def step_code(page, action, language):
    kind, _, rest = action.partition(":")
    if kind == "end":
        return ""
    if kind == "click":
        if rest not in page.buttons:
            raise ValueError("the page has no button %r" % rest)
        return page.buttons[rest]
    if kind == "run":
        return rest
    if kind == "drop":
        element, _, paths = rest.partition(":")
        arguments = ", ".join([element + ".object"] + [quote(p, language) for p in paths.split("|")])
        return ("Host.DropFiles %s" if language == "VBScript" else "Host.DropFiles(%s);") % arguments
    raise ValueError("unknown step %r" % action)
