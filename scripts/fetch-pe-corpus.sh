#!/usr/bin/env bash
# Fetches a corpus of real PE images from Debian packages and writes what
# the module table must show for each.
#
#   scripts/fetch-pe-corpus.sh [CACHE_DIR]
#
# CACHE_DIR (default $VEK_PE_CORPUS_DIR, else ~/.cache/vekcrash/pe-corpus)
# keeps the downloads between runs: a package whose .deb is there is not
# fetched again, so a second run needs no network. The packages are only
# downloaded (apt-get download) and unpacked (dpkg-deb -x) into the cache;
# nothing is installed or run. When no package can be fetched at all, the
# PE files already on this machine (below /usr/lib and /usr/share) are used
# instead, and the script says so.
#
# Output, in CACHE_DIR:
#   files/PACKAGE/...      the unpacked packages
#   packages.tsv           package, version, .deb file name (one a line)
#   expectations.json      the identities, written by scripts/pe_identity.py:
#
#   {"images": [ {one object per PE32+ x64 image}, ... ],
#    "others": [ {"file", "package", "machine", "format"}, ... ]}
#
# An image object holds:
#   file              path relative to CACHE_DIR
#   package           the Debian package it came from ("" for local files)
#   module_name       the file name in lower case, as the module map keeps it
#   time_date_stamp   file header TimeDateStamp (number)
#   check_sum         optional header CheckSum (number)
#   size_of_image     optional header SizeOfImage (number)
#   data_directory_count  NumberOfRvaAndSizes; below 7 the image has no debug
#                     directory, and what the driver reads at NT + 184 is the
#                     first section header's name (memtest86+x64.efi: 6)
#   sections_aligned  whether every section starts at a multiple of
#                     SectionAlignment (the Xen image's .buildid does not:
#                     a loader as strict as Windows' refuses it)
#   debug_types       the debug directory's entry types, in order
#                     (e.g. ["CodeView", "Repro"]; [] without a directory)
#   has_codeview      whether an entry of type 2 (CodeView) exists
#   codeview_in_image whether that record lies inside the mapped image
#                     (its AddressOfRawData is non-zero and below
#                     SizeOfImage); when false, a reader of the mapped image
#                     cannot find it
#   guid              the first CodeView record's GUID in standard form,
#                     upper case ("" without a record)
#   guid_report       the same GUID as the module table prints it: Data1,
#                     Data2, Data3 as numbers, then the 8 bytes of Data4; 32
#                     zeros without a record
#   age, age_report   the record's age (0 without one), and in hexadecimal
#                     as printed
#   pdb_path          the record's whole PDB path ("" without one); here and
#                     in pdb_name each byte is one character, so a byte
#                     above 0x7F reads as the code point of the same value
#   pdb_name          what the module map keeps of it: the part after the
#                     last '\' within the first 255 bytes ('/' is not a
#                     separator; empty when that '\' is the 255th byte)
#   pdb_column        the module table's PdbName column for module_name:
#                     empty when pdb_name is module_name's stem + ".pdb"
#                     (case-sensitive), pdb_name otherwise
# "others" lists every PE file that is not PE32+ x64 (the driver reads every
# image in the 64-bit layout, so those have no expected row).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:-${VEK_PE_CORPUS_DIR:-$HOME/.cache/vekcrash/pe-corpus}}
python=/usr/bin/python3
readobj=$(command -v llvm-readobj-14 || command -v llvm-readobj || true)
if [ -z "$readobj" ]; then
    echo "fetch-pe-corpus: llvm-readobj not found (Debian: llvm)" >&2
    exit 1
fi

# Chosen for small downloads and a spread of toolchains and debug records.
packages=(
    libz-mingw-w64                      # zlib1.dll, mingw x64 and i686: no debug directory
    gcc-mingw-w64-x86-64-win32-runtime  # the mingw compiler's runtime DLLs
    shim-unsigned                       # EFI applications built with gnu-efi
    shim-signed                         # the same, Authenticode-signed
    grub-efi-amd64-signed               # signed EFI applications
    fwupd-amd64-signed                  # a signed EFI application
    systemd-boot-efi                    # EFI boot manager and stub
    refind                              # EFI applications and boot service drivers
    memtest86+                          # x64 and ia32 EFI images
    ipxe                                # EFI images with a CodeView record naming the .efi
    xen-hypervisor-4.17-amd64           # an EFI image with a CodeView GUID and no PDB path
    linux-perf                          # perf's test program, mingw with a build id: GUID, no path
    python3-distlib                     # launchers built by MSVC: a Windows PDB path
    win32-loader                        # a 32-bit Windows program (listed under others)
)

mkdir -p "$cache/debs" "$cache/files"
updated=no
fetched=0
: >"$cache/packages.tsv.part"
for package in "${packages[@]}"; do
    deb=$(find "$cache/debs" -maxdepth 1 -name "${package}_*.deb" | sort | tail -n 1)
    if [ -z "$deb" ]; then
        download=$(mktemp -d "$cache/debs/.download.XXXXXX")
        if ! (cd "$download" && apt-get download -qq -o APT::Sandbox::User=root "$package") \
                >/dev/null 2>&1 && [ "$updated" = no ] && [ "$(id -u)" -eq 0 ]; then
            # A machine whose package lists were never read knows no package.
            updated=yes
            apt-get update -qq >/dev/null 2>&1 || true
            (cd "$download" && apt-get download -qq -o APT::Sandbox::User=root "$package") \
                >/dev/null 2>&1 || true
        fi
        mv "$download"/*.deb "$cache/debs/" 2>/dev/null || true
        rm -rf "$download"
        deb=$(find "$cache/debs" -maxdepth 1 -name "${package}_*.deb" | sort | tail -n 1)
        if [ -z "$deb" ]; then
            echo "fetch-pe-corpus: cannot download $package; left out" >&2
            continue
        fi
    fi
    target="$cache/files/$package"
    if [ ! -e "$target/.unpacked" ] || [ "$(cat "$target/.unpacked")" != "$(basename "$deb")" ]; then
        rm -rf "$target"
        mkdir -p "$target"
        dpkg-deb -x "$deb" "$target"
        basename "$deb" >"$target/.unpacked"
    fi
    printf '%s\t%s\t%s\n' "$package" "$(dpkg-deb -f "$deb" Version)" "$(basename "$deb")" \
        >>"$cache/packages.tsv.part"
    fetched=$((fetched + 1))
done
mv "$cache/packages.tsv.part" "$cache/packages.tsv"

sources=()
scan=()
if [ "$fetched" -eq 0 ]; then
    echo "fetch-pe-corpus: no package could be downloaded; using the PE files on this machine" >&2
    while IFS= read -r -d '' file; do
        scan+=("$file")
    done < <(find /usr/lib /usr/share -xdev -type f \( -iname '*.dll' -o -iname '*.exe' \
                  -o -iname '*.efi' -o -iname '*.sys' -o -iname '*.signed' -o -iname '*.stub' \) \
                  -print0 2>/dev/null)
    if [ "${#scan[@]}" -eq 0 ]; then
        echo "fetch-pe-corpus: no PE file found on this machine either" >&2
        exit 1
    fi
else
    for package in $(cut -f1 "$cache/packages.tsv"); do
        sources+=(--source "$cache/files/$package=$package")
    done
    scan=("$cache/files")
fi

"$python" "$root/scripts/pe_identity.py" --root "$cache" --readobj "$readobj" \
    --output "$cache/expectations.json" "${sources[@]}" "${scan[@]}"
"$python" - "$cache/expectations.json" <<'EOF'
import json, sys
corpus = json.load(open(sys.argv[1]))
images = corpus["images"]
with_codeview = sum(1 for image in images if image["has_codeview"])
print(f"fetch-pe-corpus: {len(images)} x64 images ({with_codeview} with a CodeView record, "
      f"{len(images) - with_codeview} without), {len(corpus['others'])} other PE files: "
      f"{sys.argv[1]}")
if not images:
    sys.exit(1)
EOF
