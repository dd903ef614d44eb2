#!/usr/bin/env bash
# Lays out ONNX Runtime in deps/onnxruntime/{include,lib} like an official release folder:
# the 1.17.3 runtime library and the C and C++ API headers. Quick when already done.
#
# The library is the official linux x64 build that the npm package onnxruntime-node carries;
# only that one file is kept. Debian bookworm has no ONNX Runtime headers, so they come from
# the next release's libonnxruntime-dev (1.21), fetched through a private apt configuration
# that leaves the machine's own sources, lists and package state untouched. The headers are
# newer than the library; the module asks the library for the API version it was written
# against, which the newer headers still describe.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
dest="$root/deps/onnxruntime"
version=1.17.3
library="libonnxruntime.so.$version"
headers_suite=trixie

if [ -f "$dest/lib/$library" ] && [ -f "$dest/include/onnxruntime_cxx_api.h" ]; then
    exit 0
fi

work="$root/deps/download"
rm -rf "$work"
mkdir -p "$work"

if [ ! -f "$dest/lib/$library" ]; then
    echo "fetching the ONNX Runtime $version library"
    # npm pack only downloads the package tarball: no install scripts run.
    (cd "$work" && npm pack --ignore-scripts --silent --cache "$work/npm-cache" \
        "onnxruntime-node@$version" > /dev/null)
    tar -xzf "$work/onnxruntime-node-$version.tgz" -C "$work" \
        "package/bin/napi-v3/linux/x64/$library"
    mkdir -p "$dest/lib"
    mv "$work/package/bin/napi-v3/linux/x64/$library" "$dest/lib/$library"
    ln -sfn "$library" "$dest/lib/libonnxruntime.so"
fi

if [ ! -f "$dest/include/onnxruntime_cxx_api.h" ]; then
    echo "fetching the ONNX Runtime C and C++ API headers ($headers_suite libonnxruntime-dev)"
    # The archive the machine already uses for its own release, read from apt itself.
    release="$(. /etc/os-release && echo "$VERSION_CODENAME")"
    mirror="$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' \
              | awk -v r="$release" '$2 == r { print $1; exit }')"
    if [ -z "$mirror" ]; then
        echo "no apt source for $release found to take the archive address from" >&2
        exit 1
    fi
    apt="$work/apt"
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/preferences.d"
    : > "$apt/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $headers_suite main" \
        > "$apt/sources.list"
    options=(
        -o "Dir::Etc::SourceList=$apt/sources.list"
        -o "Dir::Etc::SourceParts=-"
        -o "Dir::Etc::Preferences=$apt/preferences"
        -o "Dir::Etc::PreferencesParts=$apt/preferences.d"
        -o "Dir::State=$apt"
        -o "Dir::State::Lists=$apt/lists"
        -o "Dir::State::status=$apt/status"
        -o "Dir::Cache=$apt/cache"
        -o "APT::Sandbox::User=root"
        -o "Acquire::Languages=none"
        -o "Debug::NoLocking=true"
    )
    apt-get -qq "${options[@]}" update
    (cd "$work" && apt-get -qq "${options[@]}" download libonnxruntime-dev)
    dpkg -x "$work"/libonnxruntime-dev_*.deb "$work/dev"
    mkdir -p "$dest/include"
    cp "$work"/dev/usr/include/onnxruntime/*.h "$dest/include/"
fi

rm -rf "$work"
