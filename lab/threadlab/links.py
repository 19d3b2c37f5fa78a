# SPDX-License-Identifier: MIT
"""The links of the project's Markdown: each must lead to a file that exists, and to a heading
of it where it names one (as GitHub makes a heading's anchor). For the Debian package, whose
documentation holds the guide but not the whole source, a link to what it does not install is
rewritten into the words of the link and where to find its target."""

import os
import re
import subprocess

LINK = re.compile(r"(!?)\[([^\]]*)\]\(([^)\s]+)\)")
EXTERNAL = re.compile(r"^[a-z]+:", re.I)


def anchor(heading):
    """A heading's anchor, as GitHub makes it."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(path):
    with open(path) as f:
        text = re.sub(r"^```.*?^```", "", f.read(), flags=re.M | re.S)
    return {anchor(m.group(1)) for m in re.finditer(r"^#+ (.*)$", text, re.M)}


def broken(path):
    """(line, target, why) for each link in the Markdown file at path that leads nowhere."""
    found = []
    with open(path) as f:
        lines = f.read().splitlines()
    fenced = False
    for number, line in enumerate(lines, 1):
        if line.startswith("```"):
            fenced = not fenced
        if fenced:
            continue
        for _, _, target in LINK.findall(line):
            if EXTERNAL.match(target):
                continue
            name, _, heading = target.partition("#")
            where = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
            if not os.path.exists(where):
                found.append((number, target, "no such file"))
            elif heading and where.endswith(".md") and heading not in anchors(where):
                found.append((number, target, "no such heading"))
    return found


def markdown_files(root):
    """The Markdown files of the tree at root: those git tracks, where it is a checkout; else
    all of them but in hidden folders and build folders (build*, obj-*) at the top."""
    try:
        listed = subprocess.run(["git", "-C", root, "ls-files", "*.md"], capture_output=True,
                                text=True)
        if listed.returncode == 0:
            return [os.path.join(root, name) for name in listed.stdout.split()]
    except FileNotFoundError:
        pass  # no git here
    found = []
    for folder, folders, names in os.walk(root):
        folders[:] = [f for f in folders if not f.startswith(".") and not (
            folder == root and f.startswith(("build", "obj-")))]
        found += [os.path.join(folder, name) for name in names if name.endswith(".md")]
    return found


def check_command(args):
    bad = 0
    for path in sorted(markdown_files(args.root)):
        for number, target, why in broken(path):
            print(f"{os.path.relpath(path, args.root)}:{number}: {target}: {why}")
            bad += 1
    if bad:
        return 1
    print("every link leads somewhere")
    return 0


def rewrite_command(args):
    """Rewrites, in each Markdown file under the folder, the links to files that are not
    there into the link's words and its target, with where to find it."""
    for folder, _, names in os.walk(args.folder):
        for name in names:
            if not name.endswith(".md"):
                continue
            path = os.path.join(folder, name)
            with open(path) as f:
                text = f.read()

            def plain(match):
                image, words, target = match.groups()
                target_file = target.partition("#")[0]
                where = os.path.normpath(os.path.join(folder, target_file))
                if EXTERNAL.match(target) or not target_file or os.path.exists(where):
                    return match.group(0)
                path = os.path.relpath(where, args.folder)  # as the source tree names it
                named = "" if words.strip("`") == path else f"{path}, "
                return f"{words} ({named}{args.where})"

            with open(path, "w") as f:
                f.write(LINK.sub(plain, text))
    return 0

