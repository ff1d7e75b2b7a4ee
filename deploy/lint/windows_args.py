"""Options of the Windows modules, checked against their documentation.

ansible-lint's own check (args) runs a module's file as Python to read its argument spec; a
Windows module's file is PowerShell, with a Python file beside it that holds only the
documentation, so the lint names the module ("Unable to load module ... for options
validation") and checks nothing.  This rule reads the documented options instead: an option
the module doesn't know, or a required one that is missing, is reported.
"""

from __future__ import annotations

import ast
from functools import lru_cache
from pathlib import Path
from typing import Any

import yaml
from ansible.plugins.loader import module_loader
from ansiblelint.errors import MatchError
from ansiblelint.file_utils import Lintable
from ansiblelint.rules import AnsibleLintRule

# Options every module accepts from the task's own keywords.
COMMON = {"_raw_params", "_uses_shell", "_variable_params", "argv", "chdir", "creates", "removes"}


@lru_cache(maxsize=None)
def documented_options(module: str) -> tuple[frozenset[str], frozenset[str]] | None:
    """The names (aliases included) and the required names of a PowerShell module's options."""
    found = module_loader.find_plugin_with_context(module)
    if not found.resolved or not found.plugin_resolved_path.endswith(".ps1"):
        return None
    doc_file = Path(found.plugin_resolved_path).with_suffix(".py")
    if not doc_file.is_file():
        return None
    tree = ast.parse(doc_file.read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(
            isinstance(target, ast.Name) and target.id == "DOCUMENTATION" for target in node.targets
        ):
            doc = yaml.safe_load(ast.literal_eval(node.value)) or {}
            break
    else:
        return None
    names: set[str] = set()
    required: set[str] = set()
    for name, spec in (doc.get("options") or {}).items():
        names.add(name)
        names.update((spec or {}).get("aliases") or [])
        if (spec or {}).get("required"):
            required.add(name)
    # Documentation fragments (extends_documentation_fragment) add options this file can't
    # show: such a module's unknown options are not reported.
    if doc.get("extends_documentation_fragment"):
        names.add("*")
    return frozenset(names), frozenset(required)


class WindowsModuleArgsRule(AnsibleLintRule):
    """Windows module options must be the module's documented ones."""

    id = "windows-args"
    description = "Options of PowerShell modules, checked against their documentation."
    severity = "HIGH"
    tags = ["syntax"]
    version_added = "custom"

    def matchtask(self, task: dict[str, Any], file: Lintable | None = None) -> list[MatchError]:
        module = task["action"]["__ansible_module_original__"]
        options = documented_options(module)
        if options is None:
            return []
        names, required = options
        given = {key for key in task["action"] if not key.startswith("__")}
        results = []
        if "*" not in names:
            for key in sorted(given - names - COMMON):
                results.append(self.create_matcherror(message=f"{module} has no option {key}", filename=file))
        # The free-form command may come as the task's text (which the lint keeps apart), cmd or argv.
        free_text = bool(task["action"].get("__ansible_arguments__"))
        free_form = {"free_form", "cmd"} if free_text or given & {"_raw_params", "cmd", "argv"} else set()
        given_with_free_form = given | free_form
        for key in sorted(required - given_with_free_form):
            results.append(self.create_matcherror(message=f"{module} needs option {key}", filename=file))
        return results
