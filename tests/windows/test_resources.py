"""CORVANE.exe's catalogue as the event viewer renders it, and a system text in its commands."""
import pytest


@pytest.mark.parametrize("args, text", [
    (["40020003", "[abc\r]"], b"Corvane Log: [abc\r] "),
    (["40020004", "Version 1.01"],
     b"Corvane Service is starting. Version 1.01 Copyright (c) 2026 the Corvane developers. "
     b"Read more in the README that comes with Corvane."),
    (["00020001", "'Listening' on port 514, protocol UDP\n"],
     b"Corvane Service Started Successfully.\r\n"),
    (["00020002"], b"Corvane Service Stopped Successfully"),
    (["C0020005", "recv() failed: error 10040\n", "-"],
     b"Corvane Error recv() failed: error 10040\n - "),
    (["80020006", "Lost since the last report: 1 too long."],
     b"Corvane Warning Lost since the last report: 1 too long. "),
    # 193 reads "Bad EXE format for %1.": with nothing to insert, none is looked for.
    (["-", "193"], b"Bad EXE format for %1. (0xc1)"),
])
def test_catalogue_and_system_texts_render_as_shown(wine, args, text):
    # A viewer of the executable's own width: 32-bit insertion pointers for the release.
    helper = wine.install("render_message", "render")
    catalogue = [] if args[0] == "-" else [wine.install("CORVANE", "render")]
    assert wine.run(helper, *catalogue, *args)[:2] == (0, b">>" + text + b"<<\n")
