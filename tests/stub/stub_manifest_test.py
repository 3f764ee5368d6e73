#!/usr/bin/env python3
"""Checks the stub's process manifest: the resource of type 24, id 1 is well-formed XML that asks
for administrator rights, names Windows 7 to 11 as supported, and changes nothing else (no
common-controls 6 dependency, no DPI awareness)."""
import sys
import xml.etree.ElementTree as ElementTree

from pe_image import Image

SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}

def main():
    manifest = Image(open(sys.argv[1], "rb").read()).resource(24, 1)
    root = ElementTree.fromstring(manifest)
    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
          "c": "urn:schemas-microsoft-com:compatibility.v1"}
    levels = [e.get("level") for e in root.iter("{%s}requestedExecutionLevel" % ns["v3"])]
    supported = {e.get("Id") for e in root.iter("{%s}supportedOS" % ns["c"])}
    others = [e.tag for e in root.iter() if e.tag.split("}")[-1] in ("dependency", "dpiAware", "dpiAwareness")]
    failures = []
    if levels != ["requireAdministrator"]:
        failures.append(f"requestedExecutionLevel is {levels}, not requireAdministrator")
    if supported != SUPPORTED_OS:
        failures.append(f"supportedOS is {sorted(supported)}")
    if others:
        failures.append(f"unexpected elements {others}")
    for failure in failures:
        print(f"stub manifest: {failure}", file=sys.stderr)
    print(f"stub manifest: {len(manifest)} bytes, {'bad' if failures else 'good'}")
    sys.exit(1 if failures else 0)

if __name__ == "__main__":
    main()
