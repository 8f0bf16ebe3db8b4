# Shared by the benchmark scripts: installs what they use, builds the benchmark driver, makes a
# scratch directory that is removed on exit, and times commands. Source it from the repository
# root. A script that compares with an earlier commit sets base_commit first: that commit must
# be in the clone's history, which is checked before minutes of building, not after.
runs=3

if [[ -n ${base_commit:-} && ! -e .git ]]; then
  echo "$0: compares with commit $base_commit, taken from the clone's history, and $PWD is" \
    "not a git clone (an exported tree?): run it in a clone of the repository" >&2
  exit 1
fi
bash scripts/setup.sh bench
if [[ -n ${base_commit:-} ]]; then
  git rev-parse --git-dir >/dev/null # a clone git will not read (another owner's) stops here
  if ! git rev-parse -q --verify "$base_commit^{commit}" >/dev/null; then
    echo "$0: commit $base_commit is not in this clone's history (a shallow clone?): deepen it" \
      "with git fetch --unshallow, or name a commit it has" >&2
    exit 1
  fi
fi

# Progress goes to standard error, so that standard output carries the figures alone.
note() { echo "${0##*/}: $*" >&2; }

note "building this tree's benchmark driver in build-bench/"
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DOSKEL_WERROR=OFF \
  -DOSKEL_SANITIZE=OFF >/dev/null
cmake --build build-bench --target oskel_bench -j "$(nproc)" >/dev/null
bench=$PWD/build-bench/oskel_bench

work=$(mktemp -d /var/tmp/oskel-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# build_base COMMIT: an earlier commit's tree with its own benchmark driver, built; sets
# base_bench. Its driver, not this tree's: the two call the library as each tree defines it.
build_base() {
  note "building commit $1's benchmark driver in $work/base"
  mkdir "$work/base"
  git archive "$1" | tar -x -C "$work/base"
  cmake -S "$work/base" -B "$work/base/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DOSKEL_WERROR=OFF -DOSKEL_SANITIZE=OFF >/dev/null
  cmake --build "$work/base/build" --target oskel_bench -j "$(nproc)" >/dev/null
  base_bench=$work/base/build/oskel_bench
}

# Wall seconds of one command, output discarded; the command's status when it fails.
seconds() {
  local s e
  s=$(date +%s.%N); "$@" >/dev/null || return; e=$(date +%s.%N)
  awk -v s="$s" -v e="$e" 'BEGIN { printf "%.6f\n", e - s }'
}
# A divided by B, to three places.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", a / b }'; }
# The smallest of the numbers on standard input.
best() { sort -g | head -n1; }
