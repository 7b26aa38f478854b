"""The shipped type stub must describe what the module registers."""

import ast
import os
import re
import unittest

import KorvaPy

STUB = os.path.join(os.path.dirname(KorvaPy.__file__), "KorvaPy.pyi")


def public(names):
    return {name for name in names if not name.startswith("_")}


def stub_tree():
    with open(STUB) as stub:
        return ast.parse(stub.read())


def class_members(node, classes):
    """Names a stub class declares, its stub base classes' included."""
    names = set()
    for base in node.bases:
        if isinstance(base, ast.Name) and base.id in classes:
            names |= class_members(classes[base.id], classes)
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            names.add(item.name)
        elif isinstance(item, ast.AnnAssign):
            names.add(item.target.id)
    return names


class StubTest(unittest.TestCase):
    def setUp(self):
        self.tree = stub_tree()
        self.classes = {n.name: n for n in self.tree.body if isinstance(n, ast.ClassDef)}

    def test_module_names_agree(self):
        stub_names = {name for name in self.classes if not name.startswith("_")}
        stub_names |= {n.target.id for n in self.tree.body if isinstance(n, ast.AnnAssign)}
        self.assertEqual(public(stub_names), public(dir(KorvaPy)))

    def test_engine_class_names_agree(self):
        stub_names = class_members(self.classes["KORVA_PUBLIC"], self.classes)
        module_names = set(dir(KorvaPy.KORVA_PUBLIC)) - set(dir(object)) - {"__dict__", "__module__",
                                                                           "__weakref__"}
        self.assertEqual(stub_names - {"__init__"}, module_names)

    def test_record_and_enumeration_members_agree(self):
        for name in ("pyKORVA_PUBLIC", "Korva_Pair", "Korva_Status_t", "Korva_event_types", "Korva_headers"):
            with self.subTest(name=name):
                self.assertEqual(public(class_members(self.classes[name], self.classes)),
                                 public(dir(getattr(KorvaPy, name))))

    def test_method_arities_agree_with_the_registered_signatures(self):
        for item in self.classes["KORVA_PUBLIC"].body:
            if not isinstance(item, ast.FunctionDef) or item.name == "__init__":
                continue
            stub_arity = len(item.args.posonlyargs) + len(item.args.args)
            doc = getattr(KorvaPy.KORVA_PUBLIC, item.name).__doc__
            signature = re.match(r"\w+\((.*?)\) ->", doc.splitlines()[0]).group(1)
            registered_arity = len([part for part in signature.split(",") if part.strip()])
            with self.subTest(name=item.name):
                self.assertEqual(stub_arity, registered_arity)

    def test_every_class_and_engine_method_is_documented(self):
        undocumented = [name for name, node in self.classes.items() if not ast.get_docstring(node)]
        undocumented += [item.name for item in self.classes["KORVA_PUBLIC"].body
                         if isinstance(item, ast.FunctionDef) and not ast.get_docstring(item)]
        self.assertEqual(undocumented, [])

    def test_documented_statuses_exist(self):
        for item in ast.walk(self.tree):
            if isinstance(item, (ast.ClassDef, ast.FunctionDef)) and ast.get_docstring(item):
                for status in re.findall(r"KORVA_STATUS_\w+", ast.get_docstring(item)):
                    with self.subTest(name=item.name, status=status):
                        self.assertIn(status, KorvaPy.Korva_Status_t.__members__)


class LinkStubTest(unittest.TestCase):
    """The link core's stub against its module, public names only."""

    def setUp(self):
        import _korva_link
        self.module = _korva_link
        with open(os.path.join(os.path.dirname(_korva_link.__file__), "_korva_link.pyi")) as stub:
            tree = ast.parse(stub.read())
        self.classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
        self.names = set(self.classes) | {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
        self.names |= {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}

    def test_module_names_agree(self):
        self.assertEqual(public(self.names), public(dir(self.module)))

    def test_class_members_agree(self):
        for name in ("Node", "Line", "Cutter"):
            with self.subTest(name=name):
                declared = public(class_members(self.classes[name], {}))
                self.assertEqual(declared, public(vars(getattr(self.module, name))))


if __name__ == "__main__":
    unittest.main()
