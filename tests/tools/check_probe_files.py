#!/usr/bin/python3
"""Checks every ProbeInterface file under a run's folder (*.probe.json) the
way a reader loads it: against the format's schema (tests/data/
probeinterface.schema.json, a JSON Schema subset checked here with the
standard library), then the reader's own rules: per probe one entry per
contact in every contact list and contact annotation, unique contact
positions and ids; across the probes of one file, unique device channel
indices (-1 aside).

    check_probe_files.py RUN_DIR [MIN_FILES]

Exit status 0 when every file passes (and at least MIN_FILES were found);
otherwise each problem is printed and the status is 1.
"""
import json
import pathlib
import re
import sys

SCHEMA = pathlib.Path(__file__).resolve().parents[1] / "data" / "probeinterface.schema.json"

TYPES = {
    "object": dict, "array": list, "string": str, "boolean": bool,
    "integer": int, "number": (int, float),
}


def is_type(value, name):
    if name in ("integer", "number") and isinstance(value, bool):
        return False
    if name == "integer" and isinstance(value, float):
        return value.is_integer()
    return isinstance(value, TYPES[name])


def validate(value, schema, root, where, problems):
    """The draft-07 keywords the schema uses."""
    if "$ref" in schema:
        target = root
        for part in schema["$ref"].lstrip("#/").split("/"):
            target = target[part]
        return validate(value, target, root, where, problems)
    before = len(problems)
    if "type" in schema:
        names = schema["type"] if isinstance(schema["type"], list) else [schema["type"]]
        if not any(is_type(value, n) for n in names):
            problems.append(f"{where}: {json.dumps(value)[:40]} is not of type {schema['type']}")
            return
    if "const" in schema and value != schema["const"]:
        problems.append(f"{where}: {value!r} is not {schema['const']!r}")
    if "enum" in schema and value not in schema["enum"]:
        problems.append(f"{where}: {value!r} is not one of {schema['enum']}")
    if "pattern" in schema and not re.search(schema["pattern"], value):
        problems.append(f"{where}: {value!r} does not match {schema['pattern']}")
    if "minimum" in schema and value < schema["minimum"]:
        problems.append(f"{where}: {value} is below {schema['minimum']}")
    if "exclusiveMinimum" in schema and value <= schema["exclusiveMinimum"]:
        problems.append(f"{where}: {value} is not above {schema['exclusiveMinimum']}")
    if isinstance(value, dict):
        for key in schema.get("required", []):
            if key not in value:
                problems.append(f"{where}: '{key}' is missing")
        properties = schema.get("properties", {})
        extra = schema.get("additionalProperties", True)
        for key, item in value.items():
            if key in properties:
                validate(item, properties[key], root, f"{where}.{key}", problems)
            elif extra is False:
                problems.append(f"{where}: '{key}' is not a property of the format")
            elif isinstance(extra, dict):
                validate(item, extra, root, f"{where}.{key}", problems)
    if isinstance(value, list):
        if len(value) < schema.get("minItems", 0):
            problems.append(f"{where}: fewer than {schema['minItems']} items")
        if "maxItems" in schema and len(value) > schema["maxItems"]:
            problems.append(f"{where}: more than {schema['maxItems']} items")
        if "items" in schema:
            for i, item in enumerate(value):
                validate(item, schema["items"], root, f"{where}[{i}]", problems)
    if "anyOf" in schema:
        if not any(not attempt(value, s, root) for s in schema["anyOf"]):
            problems.append(f"{where}: matches none of the allowed forms")
    return len(problems) == before


def attempt(value, schema, root):
    problems = []
    validate(value, schema, root, "", problems)
    return problems


def reader_rules(document, problems):
    channels = {}
    for k, probe in enumerate(document.get("probes", [])):
        n = len(probe.get("contact_positions", []))
        lists = ["contact_plane_axes", "contact_shapes", "contact_shape_params", "contact_ids", "shank_ids",
                 "device_channel_indices"]
        for key in lists:
            if key in probe and len(probe[key]) != n:
                problems.append(f"probes[{k}].{key}: {len(probe[key])} entries for {n} contacts")
        for key, values in probe.get("contact_annotations", {}).items():
            if len(values) != n:
                problems.append(f"probes[{k}].contact_annotations.{key}: {len(values)} entries for {n} contacts")
        positions = [tuple(p) for p in probe.get("contact_positions", [])]
        if len(set(positions)) != len(positions):
            problems.append(f"probes[{k}]: contact positions repeat")
        ids = probe.get("contact_ids", [])
        if len(set(ids)) != len(ids):
            problems.append(f"probes[{k}]: contact ids repeat")
        for c in probe.get("device_channel_indices", []):
            if c >= 0 and c in channels:
                problems.append(f"probes[{k}]: device channel {c} is also probe {channels[c]}'s "
                                "(channel device indices are not unique across probes)")
            channels.setdefault(c, k)


def check_file(path, schema):
    problems = []
    document = json.loads(path.read_text(encoding="utf8"))
    validate(document, schema, schema, "$", problems)
    reader_rules(document, problems)
    return problems


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__)
        return 2
    schema = json.loads(SCHEMA.read_text(encoding="utf8"))
    files = sorted(pathlib.Path(sys.argv[1]).rglob("*.probe.json"))
    minimum = int(sys.argv[2]) if len(sys.argv) == 3 else 1
    failed = len(files) < minimum
    if failed:
        print(f"check_probe_files: {len(files)} files, expected at least {minimum}")
    for path in files:
        for problem in check_file(path, schema):
            failed = True
            print(f"check_probe_files: {path.name}: {problem}")
    if not failed:
        print(f"check_probe_files: {len(files)} files load")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
