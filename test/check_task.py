#!/usr/bin/env python3
"""Checks the logon task shipped for Windows (packaging/tevgen-watch.xml):
well-formed as Task Scheduler reads it (UTF-16, as it is packaged), and
the settings that keep a watch running: no time limit, on battery, at
logon, the program with --watch. Usage: check_task.py TASK.xml, the source
(ASCII) or the packaged copy (UTF-16 with a byte-order mark)."""
import sys
import xml.etree.ElementTree as ET

NS = "{http://schemas.microsoft.com/windows/2004/02/mit/task}"
EXPECTED = {
    "Settings/ExecutionTimeLimit": "PT0S",
    "Settings/DisallowStartIfOnBatteries": "false",
    "Settings/StopIfGoingOnBatteries": "false",
    "Settings/IdleSettings/StopOnIdleEnd": "false",
    "Settings/RunOnlyIfIdle": "false",
    "Settings/Enabled": "true",
    "Settings/MultipleInstancesPolicy": "IgnoreNew",
    "Triggers/LogonTrigger/Enabled": "true",
    "Principals/Principal/LogonType": "InteractiveToken",
    "Principals/Principal/RunLevel": "LeastPrivilege",
    "Actions/Exec/Arguments": "--watch",
}


def main(path):
    text = open(path, "rb").read()
    problems = []
    if text.startswith(b"\xff\xfe"):
        packaged = text  # the copy in the zip
    else:
        try:
            text.decode("ascii")
        except UnicodeDecodeError:
            problems.append("not ASCII: the packaged UTF-16 copy would differ")
        # As packaged: a byte-order mark, then UTF-16LE.
        packaged = b"\xff\xfe" + text.decode("ascii", "replace").encode("utf-16-le")
    try:
        task = ET.fromstring(packaged)
    except ET.ParseError as e:
        print(f"{path}: not well-formed: {e}")
        return 1
    if task.tag != NS + "Task":
        problems.append(f"root element {task.tag}, not Task")
    for where, value in EXPECTED.items():
        found = task.find("/".join(NS + part for part in where.split("/")))
        if found is None or (found.text or "").strip() != value:
            got = None if found is None else found.text
            problems.append(f"{where} is {got!r}, not {value!r}")
    command = task.find(f"{NS}Actions/{NS}Exec/{NS}Command")
    if command is None or not command.text.lower().endswith("\\tevgen.exe"):
        problems.append("the action does not start tevgen.exe")
    for problem in problems:
        print(f"{path}: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
