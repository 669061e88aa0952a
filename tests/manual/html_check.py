"""The HTML manual as a reader meets it, wherever it lies (the build tree, or
an installed Manual folder under Wine): every link between its pages leads
to a page and an anchor that exist, and nothing it shows comes from outside
its folder (style and pictures are inside each page). Used by
tests/manual/manual_test.py and tests/installer."""
import html.parser
import os
import re


class _Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.ids, self.links, self.resources = set(), [], []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if "id" in a:
            self.ids.add(a["id"])
        if tag == "a" and "name" in a:
            self.ids.add(a["name"])
        if tag == "a" and "href" in a:
            self.links.append(a["href"])
        elif tag == "link" and "href" in a:
            self.resources.append(a["href"])
        for key in ("src", "poster", "data"):
            if key in a:
                self.resources.append(a[key])


def read(path):
    page = _Page()
    page.feed(open(path, encoding="utf-8").read())
    return page


def problems(directory):
    """A list of what is wrong with the pages in directory, empty when
    nothing is."""
    found = []
    pages = {n: read(os.path.join(directory, n)) for n in sorted(os.listdir(directory)) if n.endswith(".html")}
    if not pages:
        return ["no HTML pages in %s" % directory]
    for name, page in pages.items():
        for target in page.links:
            if re.match(r"(https?|mailto):", target):
                continue
            path, _, fragment = target.partition("#")
            if path and (path not in pages or "/" in path or "\\" in path):
                found.append("%s: link %s leads out of the manual" % (name, target))
                continue
            if fragment and fragment not in pages[path or name].ids:
                found.append("%s: link %s leads to no anchor" % (name, target))
        for resource in page.resources:
            if not resource.startswith("data:"):
                found.append("%s: %s is not inside the page" % (name, resource))
    return found
