#!/usr/bin/env python3
"""Renders a command's help text (docs/<command>.txt), the one source of
both its `--help` and its manual page, as a C++ string literal or as troff.

  render_help.py SOURCE --cxx OUT        the text as a raw string literal
  render_help.py SOURCE --man OUT --version V

The text is laid out for a terminal, and the manual page follows its
layout. The first lines, up to the first blank line, are the usage: "Usage:
NAME arguments", further forms on lines that start with NAME after the
indentation, and continuations of a form on the other indented lines. Then
blocks separated by blank lines: a paragraph at the left margin; a heading
("Title:", "Title (note):" or "Title: text"); entries indented by two
blanks, a term, two or more blanks and its description, continued on lines
indented further (a term too long for its column stands alone on its line,
the description below it); a block indented by four blanks or more,
shown as it is (commands, file layouts). The body of a section whose title
begins with "Example" is shown as it is too.
"""
import argparse
import re
import sys


def escape(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def blocks_of(lines):
    block = []
    for line in lines:
        if line.strip():
            block.append(line.rstrip())
        elif block:
            yield block
            block = []
    if block:
        yield block


def indent(line):
    return len(line) - len(line.lstrip(" "))


def heading(block):
    """(title, note, rest of the block) when the block opens with a heading."""
    head = []
    for i, line in enumerate(block):
        if indent(line):
            break
        head.append(line)
        if line.endswith(":"):
            match = re.fullmatch(r"([A-Z][\w ,'-]*?)(?: \((.*)\))?:", " ".join(head), re.S)
            if match:
                return match.group(1), match.group(2), block[i + 1:]
            break
    match = re.fullmatch(r"([A-Z][a-z]+(?: [a-z]+){0,2}): (.*)", block[0])
    if match:
        return match.group(1), None, [match.group(2)] + block[1:]
    return None, None, block


def entries_and_paragraphs(lines):
    """Items of a section body: ("entry", term, description) or ("text", text)."""
    items = []
    for line in lines:
        depth = indent(line)
        if depth == 0:
            if items and items[-1][0] == "text":
                items[-1] = ("text", items[-1][1] + " " + line)
            else:
                items.append(("text", line))
        elif depth >= 4 and items and items[-1][0] == "entry":
            kind, term, description = items[-1]
            items[-1] = (kind, term, (description + " " + line.strip()).strip())
        else:
            term, _, description = (re.split(r"(\s{2,})", line.strip(), maxsplit=1) + ["", ""])[:3]
            items.append(("entry", term, description.strip()))
    return items


def usage_forms(lines):
    """The command's name and the arguments of each of its usage forms."""
    match = re.fullmatch(r"Usage: (\S+) ?(.*)", lines[0])
    assert match, lines[0]
    name, forms = match.group(1), [match.group(2)]
    for line in lines[1:]:
        line = line.strip()
        if line == name or line.startswith(name + " "):
            forms.append(line[len(name):].strip())
        else:
            forms[-1] += " " + line
    return name, forms


def verbatim(lines):
    depth = min(indent(line) for line in lines)
    return [".PP", ".RS", ".nf"] + [escape(line[depth:]) for line in lines] + [".fi", ".RE"]


def manual_page(text, version):
    blocks = list(blocks_of(text.splitlines()))
    name, forms = usage_forms(blocks[0])
    out = [f'.TH {escape(name.upper())} 1 "" "phasefit {version}" "User Commands"', ".SH NAME"]
    description = blocks[1]
    summary = re.split(r":|\. ", " ".join(description), maxsplit=1)[0].rstrip(".")
    out.append(escape(name) + " \\- " + escape(summary[0].lower() + summary[1:]))
    out.append(".SH SYNOPSIS")
    for i, form in enumerate(forms):
        out += ([".br"] if i else []) + [".B " + escape(name), escape(form)]
    out += [".SH DESCRIPTION", escape(" ".join(description))]
    for block in blocks[2:]:
        if min(indent(line) for line in block) >= 4:
            out += verbatim(block)
            continue
        title, note, rest = heading(block)
        if title:
            out.append(".SH " + escape(title.upper()))
            if note:
                out.append(escape(note[0].upper() + note[1:] + "."))
        else:
            out.append(".PP")
        if title and title.startswith("Example"):
            out += [".nf"] + [escape(line.strip()) for line in rest] + [".fi"]
            continue
        for item in entries_and_paragraphs(rest):
            if item[0] == "text":
                out += [".PP", escape(item[1])]
            else:
                out += [".TP", "\\fB" + escape(item[1]) + "\\fR", escape(item[2])]
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("--cxx")
    parser.add_argument("--man")
    parser.add_argument("--version", default="")
    args = parser.parse_args()
    with open(args.source, encoding="utf-8") as stream:
        text = stream.read()
    if ")phasefit\"" in text and args.cxx:
        sys.exit("render_help.py: the text holds the literal's delimiter")
    if args.cxx:
        with open(args.cxx, "w", encoding="utf-8") as stream:
            stream.write('R"phasefit(' + text + ')phasefit"\n')
    if args.man:
        with open(args.man, "w", encoding="utf-8") as stream:
            stream.write(manual_page(text, args.version))


if __name__ == "__main__":
    main()
