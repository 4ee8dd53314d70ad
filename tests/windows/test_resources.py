"""CORVANE.exe's catalogue as the event viewer renders it."""
import pytest


@pytest.mark.parametrize("event_id, strings, text", [
    (0x40020003, ["[abc\r]"], b"Corvane Log: [abc\r] "),
    (0x40020004, ["Version 1.01"],
     b"Corvane Service is starting. Version 1.01 Copyright (c) 2026 the Corvane developers. "
     b"Read more in the README that comes with Corvane."),
    (0x00020001, ["'Listening' on port 514, protocol UDP\n"],
     b"Corvane Service Started Successfully.\r\n"),
    (0x00020002, [], b"Corvane Service Stopped Successfully"),
    (0xC0020005, ["recv() failed: error 10040\n", "-"],
     b"Corvane Error recv() failed: error 10040\n - "),
    (0x80020006, ["Lost since the last report: 1 too long."],
     b"Corvane Warning Lost since the last report: 1 too long. "),
])
def test_catalogue_renders_as_the_event_viewer_shows_it(wine, event_id, strings, text):
    # A viewer of the executable's own width: 32-bit insertion pointers for the release.
    helper = wine.install("render_message", "render")
    result = wine.run(helper, wine.install("CORVANE", "render"), f"{event_id:08X}", *strings)
    assert result[:2] == (0, b">>" + text + b"<<\n")
