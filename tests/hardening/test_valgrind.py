"""The real collector under valgrind's memcheck: start, datagrams of every kind, stop."""

import signal

from harness import MSG_LOG_LINE, MSG_SERVICE_ERROR, RUNNING, STOPPED, binary, sender


def test_memcheck_start_datagrams_stop(journal, manager, start):
    service = start(command=[
        "valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=all",
        "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=99",
        "--track-origins=yes", str(binary())])
    manager.wait_for(lambda _: (RUNNING, 0) in manager.states(), timeout=60, what="running")
    udp = sender()
    datagrams = [b"", b"\n", b"abc\r\n", b"ab\0cd", b"%1 %2 %%1 %0", b"x" * 256, b"y" * 257,
                 b"z" * 300] * 5
    for payload in datagrams:
        udp.send(payload)
    lines = sum(len(p) <= 256 for p in datagrams)
    journal.wait_events(MSG_LOG_LINE, lines, timeout=30)
    journal.wait_events(MSG_SERVICE_ERROR, len(datagrams) - lines, timeout=30)
    service.signal(signal.SIGTERM)
    code = service.wait(60)
    report = service.text()
    print(report[report.find("HEAP SUMMARY"):])
    assert code == 0, report
    assert manager.states()[-1] == (STOPPED, 0)
    assert "ERROR SUMMARY: 0 errors" in report
    assert "definitely lost: 0" in report or "All heap blocks were freed" in report
