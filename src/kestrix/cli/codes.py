"""The command's exit codes, in one place."""

# Exit codes. The README has the same table; keep them apart so a script can tell
# "not installed" from "could not look".
OK = 0


FAILED = 1  # a file could not be read or written, or anything unexpected


USAGE = 2  # the command line is wrong (argparse's own code)


UNKNOWN_RUNTIME = 3


BLANK_RULE = 4


REFUSED = 5  # update, uninstall: the block was edited; nothing changed


NOT_INSTALLED_CODE = 6  # status


OUTDATED_CODE = 7  # status: the block of an older release's rule


MODIFIED_CODE = 8  # status: the marker without a block install writes


INTERRUPTED = 130  # Ctrl-C


TERMINATED = 143  # SIGTERM, as a shell reports a process it ended

# status's code for each state (rule_block's names, written out: importing it loads the
# compiled module, which --version and the help do not need).
STATUS_CODES = {"installed": OK, "outdated": OUTDATED_CODE, "modified": MODIFIED_CODE,
                "not_installed": NOT_INSTALLED_CODE}


EXIT_CODES_HELP = """\
exit codes:
  0    done; for status: installed
  1    a file could not be read or written
  2    bad command line
  3    unknown runtime
  4    the rule file is blank
  5    update, uninstall refused: the block was edited (nothing changed)
  6    status: not installed
  7    status: outdated (the rule of an older release)
  8    status: modified (the marker is there, install's block is not)
  130  interrupted (Ctrl-C)
  143  terminated (SIGTERM)"""
