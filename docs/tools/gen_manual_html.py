#!/usr/bin/env python3
"""Writes the reference manual as HTML, for Windows, which cannot show
Markdown: one self-contained page per chapter of docs/manual (its style
and pictures inside the page, so a page opened alone still works), links
between chapters leading to their pages, and index.html, the table of
contents the Start menu opens.

usage: gen_manual_html.py --out DIR [--pandoc PANDOC] [--manual DIR]

The chapters are README.md (written as overview.html) and every page it
links to, in that order, then any other page of the directory.
"""
import argparse
import html
import os
import re
import subprocess
import sys
import tempfile

TOOLS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(TOOLS, "..", ".."))
CSS = os.path.join(TOOLS, "manual.css")
LINKS = os.path.join(TOOLS, "manual_links.lua")
FIRST = "README.md"
TITLE = "Brenvik reference manual"


def page_name(chapter):
    return "overview.html" if chapter == FIRST else chapter[:-3] + ".html"


def chapters(manual):
    """README.md, then the pages it links to, then the rest."""
    order = [FIRST]
    for target in re.findall(r"\]\(([\w-]+\.md)(?:#[^)]*)?\)", open(os.path.join(manual, FIRST),
                                                                   encoding="utf-8").read()):
        if target not in order and os.path.exists(os.path.join(manual, target)):
            order.append(target)
    order += sorted(n for n in os.listdir(manual) if n.endswith(".md") and n not in order)
    return order


def title_of(path):
    if os.path.basename(path) == FIRST:
        return "Overview"  # the manual's own title belongs to the index
    for line in open(path, encoding="utf-8"):
        if line.startswith("# "):
            return line[2:].strip().replace("`", "")
    return os.path.basename(path)


def self_contained_flags(pandoc):
    """--embed-resources from pandoc 2.19 on; --self-contained before."""
    out = subprocess.run([pandoc, "--version"], capture_output=True, text=True, check=True).stdout
    version = tuple(int(n) for n in re.match(r"pandoc\S* (\d+)\.(\d+)", out).groups())
    return ["--embed-resources", "--standalone"] if version >= (2, 19) else ["--self-contained"]


def navigation(pages):
    links = ['<a href="index.html">Contents</a>'] + [
        '<a href="%s">%s</a>' % (page, html.escape(title.split(" — ")[0])) for page, title in pages]
    return '<nav class="manual">%s</nav>\n' % " · ".join(links)


def pandoc_page(pandoc, flags, source, text, out, title, nav, manual):
    command = [pandoc, "--from", "gfm", "--to", "html5", *flags, "--css", CSS,
               "--lua-filter", LINKS, "--resource-path", manual, "--metadata", "pagetitle=" + title,
               "--metadata", "lang=en", "--include-before-body", nav, "--output", out]
    subprocess.run(command, input=text, text=True, check=True, cwd=manual)


def headings(page_html):
    """(id, text) of the page's second-level headings."""
    found = []
    for anchor, inner in re.findall(r'<h2 id="([^"]+)"[^>]*>(.*?)</h2>', page_html, re.S):
        found.append((anchor, html.unescape(re.sub(r"<[^>]+>", "", inner)).strip()))
    return found


def markdown_text(text):
    return re.sub(r"([\\`*_\[\]<>#|])", r"\\\1", text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--pandoc", default="pandoc")
    parser.add_argument("--manual", default=os.path.join(ROOT, "docs", "manual"))
    args = parser.parse_args()
    manual = os.path.abspath(args.manual)
    os.makedirs(args.out, exist_ok=True)
    flags = self_contained_flags(args.pandoc)
    order = chapters(manual)
    pages = [(page_name(c), title_of(os.path.join(manual, c))) for c in order]
    with tempfile.TemporaryDirectory() as tmp:
        nav = os.path.join(tmp, "nav.html")
        with open(nav, "w", encoding="utf-8") as f:
            f.write(navigation(pages))
        toc = ["# " + TITLE, "",
               "For developers of point-of-sale programs that drive a Maria 301 MTM fiscal printer "
               "through Brenvik's automation (COM) server, BrenvikPlus.dll, and for those who install "
               "it. Each chapter is one page.", ""]
        for chapter, (page, title) in zip(order, pages):
            out = os.path.join(args.out, page)
            source = os.path.join(manual, chapter)
            pandoc_page(args.pandoc, flags, source, open(source, encoding="utf-8").read(), out,
                        "%s — %s" % (title, TITLE), nav, manual)
            toc.append("- [%s](%s)" % (markdown_text(title), page))
            for anchor, text in headings(open(out, encoding="utf-8").read()):
                toc.append("    - [%s](%s#%s)" % (markdown_text(text), page, anchor))
        toc.append("")
        pandoc_page(args.pandoc, flags, None, "\n".join(toc), os.path.join(args.out, "index.html"), TITLE,
                    nav, manual)
    # Pages of chapters that no longer exist would mislead.
    wanted = {"index.html"} | {page for page, _ in pages}
    for name in os.listdir(args.out):
        if name.endswith(".html") and name not in wanted:
            os.remove(os.path.join(args.out, name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
