#!/usr/bin/env bash
# The module routines as the shipped image's imports reach them: both
# module queries answered from the image registry (also when the list grows
# between the size query and the data query, and without
# RtlQueryModuleInformation), image headers read in place where the kernel
# says they lie, non-resident pages invalid, load notifications for kernel
# and user images, with and without a name.
set -u
vekcrash=$1
image=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "$1"
    echo "--- stdout"; cat "$work/out"
    echo "--- stderr"; cat "$work/err"
    exit 1
}

# run SCENARIO-TEXT: runs the fixture; a clean run is exit status 0.
run() {
    echo "$1" >"$work/scenario.json"
    timeout 60 "$vekcrash" simulate --sys "$image" "$work/scenario.json" >"$work/out" 2>"$work/err"
    local status=$?
    [ "$status" -eq 0 ] || fail "expected exit status 0, got $status"
}

has() {
    grep -qxF -- "$1" "$work/out" || fail "the console lacks the line '$1'"
}

run '{
  "machine": {
    "processors": 2,
    "os_version": { "major": 10, "minor": 0, "build": 22631 },
    "images": [
      { "path": "\\SystemRoot\\System32\\drivers\\disk.sys", "offset": "0x100000",
        "size": "0x3000", "non_resident_pages": [2] },
      { "path": "\\SystemRoot\\System32\\drivers\\broken.sys", "offset": "0x200000",
        "size": "0x1000", "damage": "no-mz" }
    ]
  },
  "events": [
    { "event": "load" },
    { "event": "image-load", "images": [
      { "path": "\\SystemRoot\\System32\\drivers\\new.sys", "offset": "0x300000",
        "size": "0x2000", "processor": 1 },
      { "path": "\\Windows\\System32\\ntdll.dll", "offset": "0x500000", "size": "0x2000",
        "mode": "user", "process_id": 1234, "properties": "0x200" },
      { "path": "\\x.sys", "offset": "0x600000", "size": 0, "unnamed": true }
    ] },
    { "event": "unload" }
  ]
}'
has "VERSION 0000000A00005867"
has "RQMI DATA STATUS 0000000000000000"
has "MODULE 0000590000100000 0000000000003000 disk.sys"
has "RECORD ntoskrnl.exe MZ LAST-VALID"
has "RECORD hal.dll INVALID LAST-INVALID"
has "RECORD disk.sys MZ LAST-INVALID"
has "RECORD broken.sys NO-MZ LAST-VALID"
has "RECORD module_routines_driver.sys MZ LAST-VALID"
has "ANSI \\SystemRoot\\Fixture.sys"
has "SET 0000000000000000"
has "NOTIFY \\SystemRoot\\System32\\drivers\\new.sys 0000000000000000 0000000000000100 0000590000300000 0000000000002000 IRQL 0000000000000000"
has "NOTIFY \\Windows\\System32\\ntdll.dll 00000000000004D2 0000000000000200 0000590000500000 0000000000002000 IRQL 0000000000000000"
has "NOTIFY (no name) 0000000000000000 0000000000000100 0000590000600000 0000000000000000 IRQL 0000000000000000"
has "REMOVE 0000000000000000"

# An image loads after the first query of each kind: the data query finds
# the buffer too small, and class 11 asks again with the new length.
run '{
  "machine": {
    "module_list_growth": [
      { "after_queries": 1, "image": { "path": "\\late.sys", "offset": "0x400000", "size": 4096 } },
      { "after_queries": 3, "image": { "path": "\\later.sys", "offset": "0x500000", "size": 4096 } }
    ]
  },
  "events": [ { "event": "load" }, { "event": "unload" } ]
}'
has "RQMI SIZE 0000000000000330"
has "RQMI DATA STATUS 00000000C0000023"
has "RQMI DATA SIZE 0000000000000440"
has "CLASS11 STATUS 00000000C0000004"
has "CLASS11 AGAIN 00000000C0000004"
has "CLASS11 AGAIN 0000000000000000"
has "CLASS11 COUNT 0000000000000005"
has "RECORD later.sys MZ LAST-VALID"

# An image read from a PE file, mapped as the loader maps it: the fixture
# itself, listed a second time under another name.
run '{ "machine": { "images": [ { "path": "\\SystemRoot\\copy.sys", "offset": "0x800000",
                                  "file": "'"$image"'" } ] },
       "events": [ { "event": "load" }, { "event": "unload" } ] }'
has "RECORD copy.sys MZ LAST-VALID"

# A kernel without RtlQueryModuleInformation.
run '{ "machine": { "routines": { "RtlQueryModuleInformation": false } },
       "events": [ { "event": "load" }, { "event": "unload" } ] }'
has "RQMI ABSENT"
has "CLASS11 COUNT 0000000000000003"
exit 0
