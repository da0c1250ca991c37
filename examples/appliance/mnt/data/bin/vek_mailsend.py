#!/usr/bin/env python3
"""Stand-in for the appliance's mail script.

Reads one request document from standard input and, instead of sending a
mail, appends it as a readable message to
<tree root>/var/log/quillo-notices/mail.log, where the tree root is three
directories above the directory holding this script. The recipients are the
toaddr texts of the profile named by the request's profilenum: the position
of a mailconf element among all of them in
<tree root>/mnt/data/xmlconf/config-notice.xml, counted from 0. Answers
result "0", or "1" when the request is not a readable mail request.
"""

import os
import sys
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
LOG_DIR = os.path.join(ROOT, "var", "log", "quillo-notices")
NOTICE_CONFIG = os.path.join(ROOT, "mnt", "data", "xmlconf",
                             "config-notice.xml")


def record(text):
    os.makedirs(LOG_DIR, exist_ok=True)
    with open(os.path.join(LOG_DIR, "mail.log"), "a", encoding="utf-8") as f:
        f.write(text)


def answer(result):
    sys.stdout.write(
        '<response><entrylist><entry result="%s"/></entrylist></response>\n'
        % result)


def profile_addresses(number):
    """The toaddr texts of profile `number`, or [] when it cannot be read."""
    if number < 0:
        return []
    try:
        confs = ET.parse(NOTICE_CONFIG).getroot().findall(
            "mailnotice/mailconflist/mailconf")
        conf = confs[number]
    except (OSError, ET.ParseError, IndexError):
        return []
    return [a.text for a in conf.findall("toaddrlist/toaddr") if a.text]


def main():
    raw = sys.stdin.buffer.read()
    try:
        mail = ET.fromstring(raw).find("entrylist/entry/mailsend")
        number = int(mail.find("mailconf").get("profilenum"))
        subject = mail.findtext("message/header/subject", "")
        body = mail.findtext("message/body", "")
    except (ET.ParseError, AttributeError, TypeError, ValueError):
        record(time.strftime("%Y-%m-%d %H:%M:%S ") + "unreadable request: " +
               raw.decode("utf-8", "replace") + "\n\n")
        answer(1)
        return 0
    addresses = profile_addresses(number)
    record("Date: %s\nProfile: %d\nTo: %s\nSubject: %s\n\n%s\n\n" % (
        time.strftime("%Y-%m-%d %H:%M:%S"), number,
        ", ".join(addresses) or "(no address)", subject, body))
    answer(0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
