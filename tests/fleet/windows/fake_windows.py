#!/usr/bin/python
"""The Windows modules the plays call (one file under each name), answered from $FAKE_WINDOWS.

C:\\ is drive_c/ there; security.json keeps each halvik-* folder's owner and access as the
plays set them.  A new folder inherits Program Files' access (Users read, TrustedInstaller
writes); nothing is copied, exported or run in one unless it is private: owner Administrators,
nothing inherited, full control for Administrators and SYSTEM only.
"""
import base64
import json
import os
import random
import shutil
import string

from ansible.module_utils.basic import _load_params

ADMINS, SYSTEM = "S-1-5-32-544", "S-1-5-18"
PRIVATE = {"owner": ADMINS, "protected": True, "rules": sorted([ADMINS, SYSTEM])}
root = os.environ["FAKE_WINDOWS"]
args = {k: v for k, v in _load_params().items() if not k.startswith("_ansible") or k == "_ansible_module_name"}
name = args.pop("_ansible_module_name").split(".")[-1]
state_file = os.path.join(root, "security.json")
security = json.load(open(state_file, encoding="utf-8")) if os.path.exists(state_file) else {}


def local(path):
    return os.path.join(root, "drive_" + path[0].lower(), *[p for p in path[3:].split("\\") if p])


def private(path):
    """Whether the halvik-* folder that holds path is private."""
    parts = path.split("\\")
    depth = next((i + 1 for i, part in enumerate(parts) if part.startswith("halvik-")), len(parts))
    return security.get("\\".join(parts[:depth])) == PRIVATE


def done(**result):
    json.dump(security, open(state_file, "w", encoding="utf-8"))
    with open(os.path.join(root, "calls.log"), "a", encoding="utf-8") as log:
        log.write(f"{name} {json.dumps(args)} -> {json.dumps(result)}\n")
    print(json.dumps(result))
    raise SystemExit(0)


path = args.get("path") or args.get("src") or ""
if name == "win_reg_stat" and args.get("name") == "ProgramFilesDir":
    done(exists=True, value="C:\\Program Files")
if name == "win_reg_stat":
    done(exists=os.environ.get("FAKE_INSTALLED") == "1", value="", properties={})
if name == "win_tempfile":
    path += "\\" + args["prefix"] + "".join(random.choices(string.ascii_lowercase, k=8))
    os.mkdir(local(path))  # as New-Item: never a folder that exists
    security[path] = {"owner": ADMINS, "protected": False, "rules": []}
    done(changed=True, path=path)
if name == "win_owner":
    security[path]["owner"] = args["user"]
if name == "win_acl" and (args["type"], args["rights"], args["state"]) == ("allow", "FullControl", "present"):
    security[path]["rules"] = sorted(set(security[path]["rules"]) | {args["user"]})
if name == "win_acl_inheritance" and args["state"] == "absent":
    security[path]["protected"] = True
    if args["reorganize"]:  # the parent's grants are copied in
        security[path]["rules"] = sorted(set(security[path]["rules"]) | {"S-1-5-32-545", "TrustedInstaller"})
if name in ("win_owner", "win_acl", "win_acl_inheritance"):
    done(changed=True)
if name == "win_shell":
    folder = os.environ["HALVIK_FOLDER"]
    if "Get-Acl" in args["_raw_params"]:
        ok = private(folder + "\\") and not os.listdir(local(folder))
        done(rc=0 if ok else 1, failed=not ok)
    open(os.path.join(local(folder), "present.txt"), "w", encoding="ascii").write("PCI\\VEN_1E5C&DEV_0410\n")
    done(rc=0 if private(folder + "\\") else 1, failed=not private(folder + "\\"))
if name == "win_copy" and private(args["dest"]):
    shutil.copytree(args["src"], local(args["dest"]), dirs_exist_ok=True)
    done(changed=True)
if name == "win_command" and args["cmd"].startswith("reg.exe export"):
    target = args["cmd"].split('"')[3]
    if private(target):
        open(local(target), "w", encoding="utf-8").write(args["cmd"].split('"')[1] + "\n")
    done(changed=True, rc=0 if private(target) else 1, failed=not private(target))
if name == "win_command":
    program = args["cmd"].split('"')[1]
    ran = private(program) and os.path.isfile(local(program)) and args["chdir"] == program.rsplit("\\", 1)[0]
    done(changed=True, rc=int(os.environ.get("FAKE_RC", "0")) if ran else 2, stderr="")
if name == "win_reboot":
    done(changed=True, rebooted=True)
if name == "win_file" and args["state"] == "absent":
    shutil.rmtree(local(path), ignore_errors=True)
    security.pop(path, None)
    done(changed=True)
if name == "stat":  # fetch's look before it reads (slurp)
    done(stat={"exists": os.path.isfile(local(path)), "isdir": False})
if name == "slurp":
    done(content=base64.b64encode(open(local(path), "rb").read()).decode(), encoding="base64")
done(failed=True, msg=f"{name} {args}: not modelled, or asked of a folder that isn't private")
