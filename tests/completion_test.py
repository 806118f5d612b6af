#!/usr/bin/env python3
"""What bash (with Debian's bash-completion) and zsh (with compinit) offer
for orvanectl command lines, held to what the program itself lists.

Usage: completion_test.py ORVANECTL COMPLETIONS_DIR

The commands, each command's options and which options take a value come
from `orvanectl --help` and `orvanectl COMMAND --help`, so a command or an
option that the completion does not know fails here. Each shell runs
interactively on a pseudo-terminal in a scratch HOME, loads the completion
the way an installed one is loaded (bash-completion's loader, zsh's fpath and
compinit), gets a line typed and TAB, and a hook writes what the completion
offered to a file. Return is never typed, so nothing runs; orvanectl runs
only with --help, in a network namespace of its own where one can be made.
Exit status 77 when bash-completion or zsh is missing.
"""
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MARK = "--completion-done--"
GLOBAL_OPTIONS = {"--json", "--parsable", "-h", "--help", "-v", "--version"}
BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"
INTERFACES = set(os.listdir("/sys/class/net"))
# Files in the scratch folder the shells start in.
FILES = {"capture.bin", "password.txt"}

# What is offered for an option's value, by the value's name in --help: a
# set that must be offered (among others), or None for nothing at all. A new
# kind of value needs a line here.
VALUES = {
    "IFACE": INTERFACES,
    "FILE": FILES,
    "PATH": FILES,
    "ADDR:PORT": {"127.0.0.1:4446", "[::1]:4446"},
    "PORT": {"4445"},
    "SECONDS": None, "NAME": None, "MAC": None, "ADDR/PREFIX": None, "A": None,
    "M": None, "ID": None, "T": None, "N": None,
}


def help_text(orvanectl, *args):
    """Standard output of orvanectl ARGS --help, without a network if possible."""
    command = [orvanectl, *args, "--help"]
    for wrapper in (["unshare", "--net", "--map-root-user"], []):
        run = subprocess.run(wrapper + command, capture_output=True, text=True, timeout=30)
        if run.returncode == 0:
            return run.stdout
    sys.exit("FAIL: %s: %s" % (" ".join(command), run.stderr))


def program_commands(orvanectl):
    """{command line words: {option: value name or None}}, from --help."""
    top = help_text(orvanectl)
    names = re.findall(r"^  (\S+)  ", top.split("\ncommands:\n")[1].split("\n\n")[0], re.M)
    event = help_text(orvanectl, "event")
    commands = {}
    for name in names:
        subcommands = re.findall(r"orvanectl event (\w+) ", event) if name == "event" else [None]
        for sub in subcommands:
            words = (name, sub) if sub else (name,)
            options = {}
            text = help_text(orvanectl, *words)
            for line in text.split("\noptions:\n")[1].split("\n\n")[0].splitlines():
                m = re.match(r"  (?:(-\w), )?(--[\w-]+)(?: (\S+))?  ", line)
                if not m:
                    sys.exit("FAIL: unreadable option line of %s --help: %r" % (" ".join(words), line))
                for spelling in m.group(1), m.group(2):
                    if spelling:
                        options[spelling] = m.group(3)
            commands[words] = options
    return names, commands


class Shell:
    """An interactive shell on a pseudo-terminal; its TAB appends what the
    completion offered, then MARK, to `out`."""

    def __init__(self, name, argv, env, out, cwd):
        self.name, self.out = name, out
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.chdir(cwd)
            os.execvpe(argv[0], argv, env)
        self.wait_mark("start")

    def drain(self, seconds):
        ready, _, _ = select.select([self.fd], [], [], seconds)
        if ready:
            try:
                os.read(self.fd, 65536)
            except OSError:
                pass

    def wait_mark(self, what):
        for _ in range(400):  # 10 s
            self.drain(0.025)
            try:
                with open(self.out) as f:
                    lines = f.read().splitlines()
            except FileNotFoundError:
                lines = []
            if MARK in lines:
                open(self.out, "w").close()
                return [line for line in lines[:lines.index(MARK)] if line]
            if os.waitpid(self.pid, os.WNOHANG) != (0, 0):
                sys.exit("FAIL: %s ended during %s" % (self.name, what))
        sys.exit("FAIL: %s: no answer to %s within 10 s" % (self.name, what))

    def offered(self, line):
        """What TAB at the end of the line offers, as a set of words."""
        os.write(self.fd, line.encode() + b"\t")
        words = self.wait_mark(repr(line))
        os.write(self.fd, b"\x15")  # ^U: the next line starts empty
        return {word[:-1] if word.endswith("=") else word for word in words}

    def close(self):
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        os.close(self.fd)


BASH_RC = r"""
source %(bash_completion)s
bind 'set bell-style none'
# The installed file, found by name the way bash-completion loads it.
__load_completion orvanectl
spec=$(complete -p orvanectl) || spec="complete -F _completion_test_missing orvanectl"
_completion_test_real=${spec#*-F }
_completion_test_real=${_completion_test_real%% *}
_completion_test() {
    "$_completion_test_real" "$@"
    local status=$?
    { printf '%%s\n' "${COMPREPLY[@]}"; echo '%(mark)s'; } >> "$COMPLETION_OUT"
    return $status
}
eval "${spec/-F $_completion_test_real/-F _completion_test}"
echo '%(mark)s' >> "$COMPLETION_OUT"
"""

ZSH_RC = r"""
fpath=(%(completions)s $fpath)
autoload -Uz compinit && compinit -u -d "$ZDOTDIR/.zcompdump"
unsetopt autolist beep
bindkey -e
bindkey '^U' kill-whole-line
# Every word a completion function offers, as it matches the line.
compadd() {
    if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then
        builtin compadd "$@"
        return
    fi
    local -a hits
    builtin compadd -O hits "$@"
    (( $#hits )) && print -rl -- "${hits[@]}" >> "$COMPLETION_OUT"
    builtin compadd "$@"
}
_completion_test_tab() {
    zle complete-word
    print -r -- '%(mark)s' >> "$COMPLETION_OUT"
}
zle -N _completion_test_tab
bindkey '^I' _completion_test_tab
print -r -- '%(mark)s' >> "$COMPLETION_OUT"
"""


def start_shells(scratch, completions):
    home = os.path.join(scratch, "home")
    work = os.path.join(scratch, "work")
    loader_dir = os.path.join(scratch, "bash-completion", "completions")
    for folder in home, work, loader_dir:
        os.makedirs(folder)
    for name in FILES:
        open(os.path.join(work, name), "w").close()
    os.symlink(os.path.join(completions, "orvanectl.bash"), os.path.join(loader_dir, "orvanectl"))
    values = {"bash_completion": BASH_COMPLETION, "completions": completions, "mark": MARK}
    with open(os.path.join(home, "bashrc"), "w") as f:
        f.write(BASH_RC % values)
    with open(os.path.join(home, ".zshrc"), "w") as f:
        f.write(ZSH_RC % values)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home, "ZDOTDIR": home, "TERM": "dumb",
           "LANG": "C.UTF-8", "BASH_COMPLETION_USER_DIR": os.path.join(scratch, "bash-completion"),
           "XDG_DATA_DIRS": os.path.join(scratch, "none"), "PS1": "$ "}
    shells = []
    for name, argv in (("bash", ["bash", "--noprofile", "--rcfile", os.path.join(home, "bashrc"), "-i"]),
                       ("zsh", ["zsh", "-i"])):
        out = os.path.join(scratch, name + ".out")
        shells.append(Shell(name, argv, dict(env, COMPLETION_OUT=out), out, work))
    return shells


class Checks:
    def __init__(self):
        self.failures = 0
        self.count = 0

    def check(self, shell, line, ok, what, got):
        self.count += 1
        if not ok:
            self.failures += 1
            print("FAIL %s: %r offers %s; expected %s" % (shell.name, line, sorted(got), what))


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: completion_test.py ORVANECTL COMPLETIONS_DIR")
    orvanectl, completions = sys.argv[1], os.path.abspath(sys.argv[2])
    if not os.path.exists(BASH_COMPLETION) or not shutil.which("zsh"):
        print("SKIP: bash-completion or zsh is not installed (scripts/setup installs them)")
        return 77
    names, commands = program_commands(orvanectl)
    checks = Checks()
    scratch = tempfile.mkdtemp(prefix="orvanectl-completion-")
    shells = []
    try:
        shells = start_shells(scratch, completions)
        for shell in shells:
            def exactly(line, expected):
                got = shell.offered(line)
                checks.check(shell, line, got == set(expected), sorted(expected), got)

            def including(line, expected):
                got = shell.offered(line)
                checks.check(shell, line, got >= set(expected), "at least %s" % sorted(expected), got)

            def value(line, name):
                got = shell.offered(line)
                if name not in VALUES:
                    checks.check(shell, line, False, "a line in VALUES for %s" % name, got)
                elif VALUES[name] is None:
                    checks.check(shell, line, not got, "nothing (a %s)" % name, got)
                else:
                    expected = VALUES[name]
                    checks.check(shell, line, got >= expected and not any(w.startswith("-") for w in got),
                                 "%s and no option" % sorted(expected), got)

            exactly("orvanectl ", names)
            exactly("orvanectl -", GLOBAL_OPTIONS)
            exactly("orvanectl se", {"serve"})
            exactly("orvanectl --json dis", {"discover"})
            exactly("orvanectl event ", {words[1] for words in commands if len(words) == 2})
            for words, options in sorted(commands.items()):
                line = "orvanectl " + " ".join(words) + " "
                exactly(line + "-", options)
                exactly(line + "--", {o for o in options if o.startswith("--")})
                for option, name in sorted(options.items()):
                    if name:
                        value(line + option + " ", name)
                        if option.startswith("--"):
                            value(line + option + "=", name)
            including("orvanectl dump ", FILES)
            including("orvanectl configure 02:00:00:00:00:01 --user admin --", {"--password-file", "--hostname"})
            exactly("orvanectl discover -i lo --r", {"--raw"})
            exactly("orvanectl event send --module disk ", set())
            exactly("orvanectl event listen 192.0.2.10 --password-stdin --c", {"--count"})
    finally:
        for shell in shells:
            shell.close()
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d completions checked in bash and zsh, %d failed" % (checks.count, checks.failures))
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
