#!/usr/bin/python3
"""Reads a metrics text with prometheus_client's own parser, from a file or
from an exporter's page (an http:// address, tried for up to 5 s while the
exporter starts), and prints its samples named ulvane_* and the text-file
collector's node_textfile_scrape_error, one a line: "name{labels} value".
Exits 1 when the text cannot be read or does not parse."""
import sys
import time
import urllib.request

from prometheus_client.parser import text_string_to_metric_families


def read(source):
    if not source.startswith("http://"):
        with open(source, encoding="utf-8") as f:
            return f.read()
    deadline = time.monotonic() + 5
    while True:
        try:
            with urllib.request.urlopen(source, timeout=2) as page:
                return page.read().decode("utf-8")
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def main():
    text = read(sys.argv[1])
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            if not sample.name.startswith(("ulvane_", "node_textfile_scrape_error")):
                continue
            labels = ",".join('%s="%s"' % item for item in sorted(sample.labels.items()))
            value = sample.value
            shown = str(int(value)) if value.is_integer() else repr(value)
            print("%s%s %s" % (sample.name, "{" + labels + "}" if labels else "", shown))


if __name__ == "__main__":
    main()
