#!/usr/bin/env python3
"""The prefix of a member's session (scripts/wine-session-prefix), as a program sees it:

    session_prefix_test.py ZAV_SERVICE SESSION_PROBE_EXE WORK_DIR

Starts zav-service (which makes its self-signed certificate), makes a session prefix that
trusts it and runs session_probe.exe there: the system's code page is Korean (949), the dialog
face Gulim draws Hangul, an HTTPS request to the service named localhost goes through on the
system's certificate store alone, and one to 127.0.0.1 is refused (Windows matches
certificates against host names). Wine draws the window frames (Decorated=N).

Exits 0 when everything holds; otherwise 1, each difference on its own line.
"""
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from wine_session import StepFailed, WinePrefix, log  # noqa: E402
from e2e_harness import Service  # noqa: E402


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    binary, probe, work = argv[1], argv[2], os.path.abspath(argv[3])
    os.makedirs(work, exist_ok=True)
    service = Service(binary, work)
    prefix = None
    problems = []
    try:
        service.start()
        log("making the session prefix")
        prefix = WinePrefix.session(os.path.join(work, "session"), service.ca_file)
        port = service.https.rsplit(":", 1)[1]
        by_name, by_address = f"https://localhost:{port}/", f"https://127.0.0.1:{port}/"
        code, out, err = prefix.run([probe, by_name, by_address], timeout=120)
        lines = dict(line.split(" ", 1) for line in
                     out.decode("utf-8", errors="replace").splitlines() if " " in line)
        log(f"session_probe ({code}): {lines}")
        expected = {"acp": "949", "hangul": "1"}
        for name, value in expected.items():
            if lines.get(name) != value:
                problems.append(f"{name} is {lines.get(name)!r}, expected {value!r}")
        if not lines.get(by_name, "").startswith("ok "):
            problems.append(f"{by_name} with the certificate in the ROOT store: "
                            f"{lines.get(by_name)!r} ({err.decode(errors='replace').strip()})")
        if not lines.get(by_address, "").startswith("failed "):
            problems.append(f"{by_address} went through: {lines.get(by_address)!r}")
        x11 = prefix.registry("user").get("Software\\Wine\\X11 Driver", {})
        if x11.get("Decorated") != "N":
            problems.append(f"X11 Driver Decorated is {x11.get('Decorated')!r}")
    except StepFailed as error:
        problems.append(str(error))
    finally:
        service.stop()
        if prefix:
            prefix.kill()
    for problem in problems:
        print(f"session prefix: {problem}", file=sys.stderr)
    if not problems:
        log("session prefix: every check holds")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
