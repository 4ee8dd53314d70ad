# Sourced by the hardening commands. build_corvane NAME [CMAKE_CXX_FLAGS]: configures
# build/hard-NAME (Ninja, RelWithDebInfo, no unit tests), builds the collector and sets
# CORVANE_BINARY to it.
build_corvane() {
    local dir=build/hard-$1
    mkdir -p build
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_TESTS=OFF \
        -DCMAKE_CXX_FLAGS="${2:-}" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" --target corvane >"$dir.build.log" 2>&1 ||
        { tail -n 60 "$dir.build.log"; return 1; }
    local candidate
    for candidate in "$dir/corvane" "$dir/platform/posix/corvane"; do
        if [ -x "$candidate" ]; then
            CORVANE_BINARY=$PWD/$candidate
            export CORVANE_BINARY
            return 0
        fi
    done
    echo "no corvane binary in $dir" >&2
    return 1
}
