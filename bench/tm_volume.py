#!/usr/bin/env python3
"""A manifest for mkhfs shaped like a Time Machine backup disk.

usage: bench/tm_volume.py [--snapshots N] [--projects P] [--subfolders S]
                          [--files F] MANIFEST.json

Backups.backupdb/host/<snapshot>/Macintosh HD/projectPP/subSSS/fNNNNNNN:
N snapshot folders, each seeing the same P projects of S subfolders of F
files. The first snapshot holds every project; each later one changes one
project: that project's folder is new, one of its subfolders is new (one
file rewritten, one added, the other files hard links to the previous
version's), and its other subfolders are folder hard links to their latest
versions; the unchanged projects are folder hard links to their latest
versions. So the paths grow with N times the tree while the catalog holds
about one tree. The defaults give 2,020,433 paths from 107,971 file and
folder records.

Prints the expected figures as JSON: "paths" (every path under the root,
the root included, as `find` lists them through a mount), "folder_paths"
(those that are folders), "records" (file and folder records in the
catalog, the root and the private folders included; thread records not
counted), "files" and "folders" (as mkhfs counts them: the root left out).
"""
import argparse
import json
import sys


def tm_manifest(snapshots=20, projects=10, subfolders=100, files=100):
    """Returns (manifest, figures) for the volume described above."""
    changes = {i: (i % projects, (i * 7) % subfolders) for i in range(1, snapshots)}
    rewritten = set(changes.values())
    latest_sub = {}   # (project, subfolder) -> id of its latest version
    latest_file = {}  # (project, subfolder) -> ids of its files, when they have ids
    latest_project = {}

    def counter_file(name, seed, fid=None):
        f = {"type": "file", "name": name, "data": {"pattern": "counter", "size": 16, "seed": seed}}
        if fid:
            f["id"] = fid
        return f

    def first_subfolder(j, k):
        sid = f"p{j}s{k}v0"
        latest_sub[j, k] = sid
        if (j, k) in rewritten:
            # Its files get ids: the next version links to them.
            ids = [f"p{j}s{k}v0f{n}" for n in range(files)]
            latest_file[j, k] = ids
            kids = [counter_file(f"f{n:07d}", n, ids[n]) for n in range(files)]
        else:
            kids = [{"type": "generate", "folders": 0, "files": files, "file_size": 16,
                     "pattern": "counter"}]
        return {"type": "folder", "name": f"sub{k:03d}", "id": sid, "children": kids}

    def next_subfolder(j, k, i):
        sid = f"p{j}s{k}v{i}"
        old = latest_file.get((j, k), [])
        kids = [counter_file("f0000000", 1000000 + i)]  # rewritten
        kids += [{"type": "hardlink", "name": f"f{n:07d}", "target": old[n]}
                 for n in range(1, min(files, len(old)))]
        kids.append(counter_file(f"f{files:07d}", 2000000 + i))  # added
        latest_sub[j, k] = sid
        return {"type": "folder", "name": f"sub{k:03d}", "id": sid, "children": kids}

    snaps = []
    for i in range(snapshots):
        entries = []
        for j in range(projects):
            name = f"project{j:02d}"
            if i == 0 or changes.get(i, (None,))[0] == j:
                pid = f"p{j}v{i}"
                kids = []
                for k in range(subfolders):
                    if i == 0:
                        kids.append(first_subfolder(j, k))
                    elif changes[i][1] == k:
                        kids.append(next_subfolder(j, k, i))
                    else:
                        kids.append({"type": "hardlink", "name": f"sub{k:03d}",
                                     "target": latest_sub[j, k]})
                entries.append({"type": "folder", "name": name, "id": pid, "children": kids})
                latest_project[j] = pid
            else:
                entries.append({"type": "hardlink", "name": name, "target": latest_project[j]})
        day, half = divmod(i, 2)
        snaps.append({"type": "folder", "name": f"2026-01-{1 + day:02d}-{half * 12:02d}0000",
                      "children": [{"type": "folder", "name": "Macintosh HD",
                                    "children": entries}]})
    manifest = {"volume": {"name": "Backup"},
                "items": [{"type": "folder", "name": "Backups.backupdb", "children": [
                    {"type": "folder", "name": "host", "children": snaps}]}]}
    return manifest, figures(manifest)


def figures(manifest):
    """Counts what a manifest of folders, files, hard links and generated files
    holds: paths and folder paths through the links, and catalog records."""
    by_id, targets = {}, set()

    def index(items):
        for it in items:
            if "id" in it:
                by_id[it["id"]] = it
            if it["type"] == "hardlink":
                targets.add(it["target"])
            index(it.get("children", []))

    index(manifest["items"])
    memo = {}

    def reach(it):
        """(paths, folder paths) at and below an item, through links."""
        if it["type"] == "hardlink":
            return reach(by_id[it["target"]])
        if it["type"] == "generate":
            m, n = it.get("folders", 0), it.get("files", 0)
            return m + n, m
        key = id(it)
        if key not in memo:
            paths, folders = 1, int(it["type"] == "folder")
            for c in it.get("children", []):
                p, f = reach(c)
                paths, folders = paths + p, folders + f
            memo[key] = paths, folders
        return memo[key]

    files = folders = 0

    def count(items):
        nonlocal files, folders
        for it in items:
            if it["type"] == "generate":
                folders += it.get("folders", 0)
                files += it.get("files", 0)
                continue
            # A linked item is a link record where it stands and its body in a
            # private folder.
            if it["type"] in ("file", "hardlink") or it.get("id") in targets:
                files += 1
            if it["type"] == "folder":
                folders += 1
            if it["type"] == "file" and it.get("id") in targets:
                files += 1
            count(it.get("children", []))

    count(manifest["items"])
    kinds = {by_id[t]["type"] for t in targets}
    folders += len(kinds)  # the private folders
    paths, folder_paths = 1, 1
    for it in manifest["items"]:
        p, f = reach(it)
        paths, folder_paths = paths + p, folder_paths + f
    return {"paths": paths, "folder_paths": folder_paths, "records": files + folders + 1,
            "files": files, "folders": folders}


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--snapshots", type=int, default=20)
    p.add_argument("--projects", type=int, default=10)
    p.add_argument("--subfolders", type=int, default=100)
    p.add_argument("--files", type=int, default=100)
    p.add_argument("manifest")
    a = p.parse_args()
    m, fig = tm_manifest(a.snapshots, a.projects, a.subfolders, a.files)
    with open(a.manifest, "w") as f:
        json.dump(m, f)
    json.dump(fig, sys.stdout)
    print()


if __name__ == "__main__":
    main()
