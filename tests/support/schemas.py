"""The JSON Schemas of docs/schemas/ (and the service's OpenAPI document,
which refers to them), for the tests that hold the brenvik tool's --json and
brenvikd's answers to them. Uses python3-jsonschema, Debian's validator."""
import glob
import json
import os
import sys
import urllib.parse
import warnings

try:
    import jsonschema
except ImportError:  # Debian's package, for an interpreter of another prefix
    sys.path.append("/usr/lib/python3/dist-packages")
    import jsonschema

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BASE = "https://brenvik.example/"


class Schemas:
    """Validates documents against docs/schemas/NAME.schema.json, or against
    a schema inside the OpenAPI document (given by its JSON Pointer)."""

    def __init__(self, openapi=None):
        self.store = {}
        for path in glob.glob(os.path.join(ROOT, "docs", "schemas", "*.schema.json")):
            with open(path, encoding="utf-8") as f:
                schema = json.load(f)
            jsonschema.Draft202012Validator.check_schema(schema)
            self.store[schema["$id"]] = schema
        self.openapi = openapi
        if openapi is not None:
            self.store[BASE + "openapi.json"] = openapi

    def names(self):
        return sorted(uri.rsplit("/", 1)[1] for uri in self.store if uri.endswith(".schema.json"))

    def errors(self, instance, reference):
        """Every way `instance` fails the schema at `reference` (an absolute
        URI, "error.schema.json" or "openapi.json#/pointer")."""
        uri = reference if reference.startswith(BASE) else BASE + (
            reference if reference.startswith("openapi.json") else "schemas/" + reference)
        try:
            # jsonschema 4.18 and later resolve references through a registry.
            import referencing
            import referencing.jsonschema
            registry = referencing.Registry().with_resources(
                (key, referencing.Resource.from_contents(doc, default_specification=referencing.jsonschema.DRAFT202012))
                for key, doc in self.store.items())
            validator = jsonschema.Draft202012Validator({"$ref": uri}, registry=registry)
        except ImportError:
            # Debian's jsonschema (4.10) has the RefResolver.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                resolver = jsonschema.RefResolver(base_uri=BASE + "checked", referrer={}, store=dict(self.store))
                validator = jsonschema.Draft202012Validator({"$ref": uri}, resolver=resolver)
        return ["%s: %s" % ("/" + "/".join(str(p) for p in e.absolute_path), e.message)
                for e in validator.iter_errors(instance)]

    def check(self, instance, reference):
        problems = self.errors(instance, reference)
        assert not problems, "%s does not validate against %s: %s\n%s" % (
            json.dumps(instance, ensure_ascii=False)[:600], reference, "; ".join(problems[:5]), "")

    @staticmethod
    def pointer(*parts):
        """openapi.json#/paths/... of the given keys, escaped for a URI."""
        escaped = "/".join(str(p).replace("~", "~0").replace("/", "~1") for p in parts)
        return "openapi.json#/" + urllib.parse.quote(escaped, safe="/~")
