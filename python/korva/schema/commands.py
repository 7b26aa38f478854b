"""The `korva schema` subcommands: check, fingerprint, vectors, c, lua. A schema that
breaks a rule is one line on stderr and exit status 1, as every command's
errors are."""

from . import c_header, lua, vectors
from .canonical import fingerprint
from .compat import check
from .loader import read

__all__ = ["add_schema_commands"]


def add_schema_commands(commands):
    """Register `schema` and its subcommands with the parser's `commands`."""
    schema = commands.add_parser("schema", help="check typed-message schemas and write what other codecs need")
    actions = schema.add_subparsers(dest="action", metavar="ACTION", required=True)

    verify = actions.add_parser("check", help="check a schema, or that NEW still speaks to peers built from OLD; "
                                              "exit 1 with one line per breaking change")
    verify.add_argument("new", metavar="NEW", help="a schema file (.toml or .json)")
    verify.add_argument("old", nargs="?", metavar="OLD", help="the schema it replaces")
    verify.set_defaults(run=_check)

    digest = actions.add_parser("fingerprint", help="print the CRC-32 of the canonical form, 8 hex digits")
    digest.add_argument("file", metavar="FILE")
    digest.set_defaults(run=_fingerprint)

    golden = actions.add_parser("vectors", help="write golden bodies for other codecs to replay")
    golden.add_argument("file", metavar="FILE")
    golden.add_argument("-o", "--output", required=True, metavar="DIR", help="the folder to write into")
    golden.set_defaults(run=_vectors)

    header = actions.add_parser("c", help="write the C header of a schema (C11 and C++17)")
    c_header.add_arguments(header)
    header.set_defaults(run=c_header.run)

    dissector = actions.add_parser("lua", help="write a Wireshark dissector for the schema's messages, "
                                               "loaded beside tools/wireshark/korva.lua")
    lua.add_arguments(dissector)
    dissector.set_defaults(run=lua.run)


def _check(args):
    new = read(args.new)
    if args.old is None:
        print("%s: %s revision %d, fingerprint %s" % (args.new, new.name, new.revision, fingerprint(new)))
        return 0
    old = read(args.old)
    changes = check(new, old)
    for change in changes:
        print(change)
    if changes:
        return 1
    print("compatible: %s revision %d speaks to revision %d" % (new.name, new.revision, old.revision))
    return 0


def _fingerprint(args):
    print(fingerprint(read(args.file)))
    return 0


def _vectors(args):
    print(vectors.write(read(args.file), args.output))
    return 0
