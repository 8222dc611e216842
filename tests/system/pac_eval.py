"""Evaluates proxy auto-config files with pacparser, without DNS.

pacparser's dnsResolve asks the real resolver; a prelude placed after the
file replaces it (and isResolvable, myIpAddress) with a fixed name table, so
evaluating a file never sends a query. A name outside the table does not
resolve.

    evaluate(pac_text, urls, names={"gw.example": "198.18.0.1"}) -> [answer, ...]

raises PacError when the file does not parse or an answer cannot be found
(for instance "too much recursion"). From the command line (used by the C++
unit tests):

    pac_eval.py FILE [--name HOST=IP]... [--my-ip IP] URL...

prints one answer per URL, or "ERROR: ..." on stderr and exits with 2.
"""

import json
import sys
import urllib.parse

try:
    import pacparser
except ImportError:  # a venv python: take Debian's module
    sys.path.append("/usr/lib/python3/dist-packages")
    import pacparser


class PacError(Exception):
    pass


def prelude(names, my_ip):
    return (
        "\nvar __pac_eval_names = %s;\n"
        "function dnsResolve(h) {\n"
        "  return Object.prototype.hasOwnProperty.call(__pac_eval_names, h) ? __pac_eval_names[h] :\n"
        "    (/^\\d+\\.\\d+\\.\\d+\\.\\d+$/.test(h) ? h : null);\n"
        "}\n"
        "function isResolvable(h) { return dnsResolve(h) != null; }\n"
        "function myIpAddress() { return %s; }\n" % (json.dumps(names), json.dumps(my_ip))
    )


def host_of(url):
    return urllib.parse.urlsplit(url).hostname or ""


def evaluate(pac_text, urls, names=None, my_ip="10.77.0.2"):
    if isinstance(pac_text, bytes):
        pac_text = pac_text.decode("utf-8", "replace")
    pacparser.init()
    try:
        try:
            pacparser.parse_pac_string(pac_text + prelude(names or {}, my_ip))
        except Exception as e:
            raise PacError(f"does not parse: {e}") from None
        answers = []
        for url in urls:
            try:
                answers.append(pacparser.find_proxy(url, host_of(url)))
            except Exception as e:
                raise PacError(f"{url}: {e}") from None
        return answers
    finally:
        pacparser.cleanup()


def main(argv):
    names, my_ip, urls, path = {}, "10.77.0.2", [], None
    it = iter(argv)
    for a in it:
        if a == "--name":
            host, _, ip = next(it).partition("=")
            names[host] = ip
        elif a == "--my-ip":
            my_ip = next(it)
        elif path is None:
            path = a
        else:
            urls.append(a)
    try:
        with open(path, "rb") as f:
            answers = evaluate(f.read(), urls, names, my_ip)
    except (OSError, PacError) as e:
        print(f"ERROR: {e}", file=sys.stderr)
        return 2
    for a in answers:
        print(a)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
