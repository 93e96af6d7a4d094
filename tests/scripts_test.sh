#!/usr/bin/env bash
# Black-box tests of the shell scripts in examples/: exit statuses, messages,
# the exact bytes of every output, and what is left in OUT after failures
# and signals.
#
#   tests/scripts_test.sh subtract-dark PIXDELTA
#   tests/scripts_test.sh slurm PIXDELTA
#   tests/scripts_test.sh install PIXDELTA CMAKE BUILD_DIR
#
# Nothing here waits a fixed time: a run is signalled only once the fake
# tool has said that it is running, and every wait has a generous bound.
set -euo pipefail

group=${1:?usage: $0 subtract-dark|slurm|install PIXDELTA [CMAKE BUILD_DIR]}
pixdelta=$(realpath -- "${2:?the pixdelta binary}")
examples=$(realpath -- "$(dirname -- "$0")/../examples")
script=$examples/subtract-dark
slurm=$examples/subtract-dark.slurm

tmp=$(mktemp -d)
started=()
finish() {
  local pid
  for pid in "${started[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf -- "$tmp"
}
trap finish EXIT

passed=0 failed=0
# check DESCRIPTION COMMAND...: counts the case, and shows the last run's
# status and streams when the command fails.
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL: %s\n  status %s\n  stdout: %s\n  stderr: %s\n' "$what" "$status" "$out" "$err"
  fi
}
has() { [[ $1 == *"$2"* ]]; }
# failure_of FRAME: what the last run said on stderr of FRAME's failure: the
# lines after the previous frame's "failed: " line, up to FRAME's own.
failure_of() {
  local line block=''
  while IFS= read -r line; do
    block+=$line$'\n'
    case $line in
      "failed: $1" | "failed: $1 ("*) printf '%s' "$block"; return 0 ;;
      "failed: "*) block='' ;;
    esac
  done <<<"$err"
}
lacks() { [[ $1 != *"$2"* ]]; }
same() { [ "$1" = "$2" ]; }

status='' out='' err=''
# run COMMAND...: status, stdout and stderr of one run, stdin empty.
run() {
  status=0
  "$@" >"$tmp/stdout" 2>"$tmp/stderr" </dev/null || status=$?
  out=$(cat "$tmp/stdout")
  err=$(cat "$tmp/stderr")
}

# The entries of a folder, hidden ones too, in byte order, each followed by
# a '/', which no name holds.
entries() {
  local folder=$1
  case $folder in /*) ;; *) folder=./$folder ;; esac
  find "$folder" -mindepth 1 -maxdepth 1 -printf '%f/' 2>/dev/null | tr / '\0' | LC_ALL=C sort -z | tr '\0' /
}
listing() { [ "$(entries "$1")" = "$2" ]; }

# Distinct 16-bit frames: frame16 - dark16 + K. Frames of the same content
# would hide an output made from the wrong frame.
mkdir "$tmp/src"
for k in 1 2 3 4 5 6 7 8; do
  "$pixdelta" "$examples/frame16.img" "$examples/dark16.img" "$tmp/src/$k.img" "$((k * 1000))" >/dev/null
done
dark=$examples/dark16.img

# made_from OUTPUT FRAME OFFSET [DARK]: OUTPUT holds FRAME - DARK + OFFSET,
# as pixdelta makes it when run alone.
made_from() {
  "$pixdelta" "$2" "${4:-$dark}" "$tmp/reference" "$3" >/dev/null && cmp -s -- "$1" "$tmp/reference"
}

# A fresh folder for each case, the current folder while it runs, so that
# the names given to the scripts are relative, as a user types them.
fresh() {
  case_dir=$(mktemp -d "$tmp/case.XXXXXX")
  cd "$case_dir"
}

# A PATH that has every tool the scripts use but pixdelta.
mkdir "$tmp/nopix"
for tool in bash env find sort xargs mktemp mv rm mkdir nproc sleep cat head tr realpath; do
  ln -s "$(command -v "$tool")" "$tmp/nopix/$tool"
done

# Stands for pixdelta: for a frame whose name holds "hang", it writes part
# of an output, says it has started (a file named after its process id),
# then waits to be killed; "slow" likewise, but is slow to die; other runs
# go to the real pixdelta.
mkdir "$tmp/fake" "$tmp/markers"
cat >"$tmp/fake/pixdelta" <<EOF
#!/usr/bin/env bash
case \${1-} in
  *hang*) ;;
  # Takes a while to die, as a tool that cleans up on SIGTERM would.
  *slow*)
    trap 'kill \$!; sleep 0.5; exit 1' TERM
    sleep 3600 &
    : >"$tmp/markers/\$!"
    : >"$tmp/markers/\$\$"
    wait
    exit 1 ;;
  *) exec "$pixdelta" "\$@" ;;
esac
head -c 100 -- "\$1" >"\$3"
: >"$tmp/markers/\$\$"
exec sleep 3600
EOF
chmod +x "$tmp/fake/pixdelta"

# wait_started N: until N fakes have started (at most a minute).
wait_started() {
  local tries=0
  while [ "$(find "$tmp/markers" -type f | wc -l)" -lt "$1" ]; do
    [ $((tries += 1)) -le 600 ] || return 1
    sleep 0.1
  done
}
# fakes_gone: every fake that started has ended (a zombie has), checked
# once the script has returned, which it must do only then. Any left are
# killed, so that they cannot disturb the next case.
fakes_gone() {
  local marker pid gone=0
  for marker in "$tmp/markers"/*; do
    [ -e "$marker" ] || continue
    pid=${marker##*/}
    if [ -e "/proc/$pid" ] && [ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" != Z ]; then
      gone=1
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  return "$gone"
}
# start COMMAND...: runs it in the background as a process group of its own,
# as a shell with job control would, so that it keeps SIGINT.
start() {
  rm -f "$tmp/markers"/*
  set -m
  "$@" >"$tmp/stdout" 2>"$tmp/stderr" </dev/null &
  pid=$!
  set +m
  started+=("$pid")
}
# stop: waits for the started command; sets status, out, err.
stop() {
  status=0
  # (without the shell's word on how the job ended)
  { wait "$pid" || status=$?; } 2>/dev/null
  out=$(cat "$tmp/stdout")
  err=$(cat "$tmp/stderr")
}

subtract_dark_tests() {
  local name k

  # Every kind of name, and links: a FRAMES folder and a DARK whose names
  # begin with '-', reached through a link; frames with spaces, a newline,
  # a leading '-', a link to a frame elsewhere; things that are not frames
  # (a hidden ._a.img as a Mac leaves, a folder, a text file, a subfolder's).
  fresh
  mkdir -- real-frames elsewhere
  cp -- "$tmp/src/1.img" real-frames/a.img
  cp -- "$tmp/src/2.img" "real-frames/with space.img"
  cp -- "$tmp/src/3.img" "real-frames/new"$'\n'"line.img"
  cp -- "$tmp/src/4.img" real-frames/-lead.img
  cp -- "$tmp/src/5.img" real-frames/._a.img
  cp -- "$tmp/src/6.img" elsewhere/target.img
  # shellcheck disable=SC2016 # a name that must not be expanded
  local odd='odd $(x) [b]*.img'
  cp -- "$tmp/src/8.img" "real-frames/$odd"
  ln -s ../elsewhere/target.img real-frames/link.img
  cp -- "$tmp/src/7.img" real-frames/notes.txt
  mkdir real-frames/folder.img real-frames/sub
  cp -- "$tmp/src/8.img" real-frames/sub/deep.img
  ln -s -- real-frames -frames
  cp -- "$dark" -dark.img
  run env PIXDELTA="$pixdelta" "$script" -dark.img -frames -out 100 2
  check "names: status 0" same "$status" 0
  check "names: reports dropped" same "$out$err" ""
  check "names: exactly the *.img files directly in FRAMES" listing -out \
    "-lead.img/a.img/link.img/new"$'\n'"line.img/odd \$(x) [b]*.img/with space.img/"
  for name in a.img "with space.img" "new"$'\n'"line.img" -lead.img "$odd"; do
    check "names: $name is its frame less the dark" made_from "-out/$name" "real-frames/$name" 100
  done
  check "names: a linked frame is read through its link" made_from -out/link.img elsewhere/target.img 100
  check "names: the frames are unchanged" cmp -s real-frames/a.img "$tmp/src/1.img"

  # The offset as pixdelta reads it, the defaults, a folder made on the way.
  for offset in -5 +7 40000; do
    fresh
    mkdir f && cp -- "$tmp/src/1.img" f/a.img
    run env PIXDELTA="$pixdelta" "$script" "$dark" f deep/out "$offset" 1
    check "offset $offset: status 0" same "$status" 0
    check "offset $offset: made" made_from deep/out/a.img f/a.img "$offset"
  done
  fresh
  mkdir f && cp -- "$tmp/src/1.img" f/a.img && cp -- "$examples/frame16.img" f/b.img
  run env PIXDELTA="$pixdelta" "$script" "$dark" f out
  check "default offset 0: status 0" same "$status" 0
  check "default offset 0: made" made_from out/a.img f/a.img 0
  run env PIXDELTA="$pixdelta" "$script" "$dark" f out 100
  check "second run: status 0" same "$status" 0
  check "second run: the outputs replaced" made_from out/a.img f/a.img 100
  check "the sample frame gives the sample result" cmp -s out/b.img "$examples/expected16.img"

  # The tool beside the script (an installed copy) is used before the PATH.
  fresh
  mkdir bin f && cp -- "$script" bin/ && ln -s "$pixdelta" bin/pixdelta
  cp -- "$tmp/src/1.img" f/a.img
  run env -u PIXDELTA PATH="$tmp/nopix" bin/subtract-dark "$dark" f out 3
  check "tool beside the script: status 0" same "$status" 0
  check "tool beside the script: made" made_from out/a.img f/a.img 3

  # An empty folder: nothing to do, said on stderr.
  fresh
  mkdir f
  run env PIXDELTA="$pixdelta" "$script" "$dark" f out
  check "no frames: status 0" same "$status" 0
  check "no frames: said" has "$err" "no *.img in f"
  check "no frames: OUT empty" listing out ""

  # Failed frames: each named with pixdelta's reason (from its stdout or its
  # stderr), nothing left for it in OUT, the others made, status 1.
  fresh
  mkdir f
  cp -- "$tmp/src/1.img" f/a.img
  cp -- "$tmp/src/2.img" f/z.img
  head -c 1 "$tmp/src/3.img" >"f/bad"$'\n'"name.img"
  cp -- "$examples/frame64.img" f/type64.img
  { head -c 12 "$tmp/src/4.img"; printf '\003\000'; tail -c +15 "$tmp/src/4.img"; } >f/type3.img
  ln -s nowhere.img f/broken.img
  head -c 300 "$tmp/src/5.img" >f/short.img
  mkdir out && mkdir out/blocked.img && cp -- "$tmp/src/6.img" f/blocked.img
  run env PIXDELTA="$pixdelta" "$script" "$dark" f out 100 2
  check "failures: status 1" same "$status" 1
  check "failures: nothing on stdout" same "$out" ""
  check "failures: a bad frame named, shell-quoted" same "$(failure_of "\$'f/bad\\nname.img'")" \
    "EOF in f/bad"$'\n'"name.img (header)"$'\n'"failed: \$'f/bad\\nname.img'"
  check "failures: a frame of another type" has "$(failure_of f/type64.img)" "file types differ"
  check "failures: an unknown type, said on stdout" has "$(failure_of f/type3.img)" "Unknown file type in file1!"
  check "failures: pixdelta's stdout shown" has "$(failure_of f/broken.img)" "can not open file1 for input"
  check "failures: a short frame" has "$(failure_of f/short.img)" "EOF found in the data of f/short.img"
  check "failures: an output that cannot be renamed" has "$(failure_of f/blocked.img)" "cannot overwrite directory"
  check "failures: six frames named" same "$(grep -c '^failed: ' <<<"$err")" 6
  check "failures: good frames named nowhere" lacks "$err" "a.img"
  check "failures: only the good frames made, nothing else in OUT" listing out "a.img/blocked.img/z.img/"
  check "failures: the first good frame" made_from out/a.img f/a.img 100
  check "failures: the last good frame" made_from out/z.img f/z.img 100
  check "failures: the folder in the way untouched" listing out/blocked.img ""

  # A link that loops cannot be listed: the others are made, status 1.
  fresh
  mkdir f && cp -- "$tmp/src/1.img" f/a.img && ln -s loop.img f/loop.img
  run env PIXDELTA="$pixdelta" "$script" "$dark" f out
  check "looping link: status 1" same "$status" 1
  check "looping link: said" has "$err" "could not list every frame in f"
  check "looping link: the others made" listing out "a.img/"

  # A run that dies (here killed) is not taken for a failed frame that said
  # why: xargs stops, which is said, and its temporary goes.
  fresh
  mkdir f bin && cp -- "$tmp/src/1.img" f/a.img
  # The fake kills itself for a frame named "self"; otherwise the run of the
  # frame, a child of xargs.
  cat >bin/pixdelta <<EOF
#!/bin/bash
[ \$# -ge 4 ] && [ "\$3" != /dev/null ] || exec "$pixdelta" "\$@"
: >"\$3"
[[ \$1 != *self* ]] || kill -KILL \$\$
parent() { local s; read -r s </proc/\$1/stat; s=\${s##*) }; s=\${s#* }; echo \${s%% *}; }
run=\$PPID
while [ "\$(cat /proc/\$(parent \$run)/comm)" != xargs ]; do run=\$(parent \$run); done
kill -KILL \$run
EOF
  chmod +x bin/pixdelta
  run env PIXDELTA=bin/pixdelta "$script" "$dark" f out
  check "killed run: status 1" same "$status" 1
  check "killed run: said" has "$err" "xargs stopped with status 125"
  check "killed run: nothing in OUT" listing out ""
  mkdir g && cp -- "$tmp/src/1.img" g/self.img
  run env PIXDELTA=bin/pixdelta "$script" "$dark" g out
  check "pixdelta killed: status 1" same "$status" 1
  check "pixdelta killed: its status given" same "$err" "failed: g/self.img (pixdelta exited with 137)"
  check "pixdelta killed: nothing in OUT" listing out ""

  # Bad arguments: status 2, the reason on stderr, OUT not written.
  local reason
  fresh
  mkdir f folder && cp -- "$tmp/src/1.img" f/a.img && head -c 10 "$dark" >not-an-image.img && : >file
  while IFS='|' read -r reason dark_arg frames_arg out_arg rest; do
    local -a more=()
    [ -z "$rest" ] || read -r -a more <<<"$rest"
    [ "$rest" != "''" ] || more=('')
    run env PIXDELTA="$pixdelta" "$script" "$dark_arg" "$frames_arg" "$out_arg" "${more[@]}"
    check "bad arguments ($reason $dark_arg $frames_arg $out_arg ${more[*]}): status 2" same "$status" 2
    check "bad arguments ($reason): said" has "$err" "$reason"
    check "bad arguments ($reason): OUT not made" listing out ""
    check "bad arguments ($reason): nothing on stdout" same "$out" ""
  done <<EOF
cannot read the dark frame|missing.img|f|out|
cannot read the dark frame|folder|f|out|
not a usable image|not-an-image.img|f|out|
no folder|$dark|missing|out|
no folder|$dark|file|out|
OFFSET must be a decimal integer|$dark|f|out|abc
OFFSET must be a decimal integer|$dark|f|out|1OO
OFFSET must be a decimal integer|$dark|f|out|''
JOBS must be a whole number|$dark|f|out|0 0
JOBS must be a whole number|$dark|f|out|0 -1
JOBS must be a whole number|$dark|f|out|0 x
JOBS must be a whole number|$dark|f|out|0 2.5
JOBS must be a whole number|$dark|f|out|0 9999999999
usage:|$dark|f|out|0 1 extra
must not be empty|$dark||out|
cannot create the folder|$dark|f|file/out|
EOF
  run env PIXDELTA="$pixdelta" "$script" "$dark" f
  check "two arguments: status 2" same "$status" 2
  check "two arguments: usage" has "$err" "usage: subtract-dark DARK FRAMES OUT [OFFSET [JOBS]]"

  # The tool cannot be run, or is not pixdelta: said once, status 2.
  local tool
  for tool in "$tmp/missing" "$tmp" /bin/true; do
    run env PIXDELTA="$tool" "$script" "$dark" f out
    check "tool $tool: status 2" same "$status" 2
    check "tool $tool: said once" same "$(grep -c 'cannot run pixdelta' <<<"$err")" 1
    check "tool $tool: nothing made" listing out ""
  done
  run env -u PIXDELTA PATH="$tmp/nopix" "$script" "$dark" f out
  check "no pixdelta on the PATH: status 2" same "$status" 2
  check "no pixdelta on the PATH: said" has "$err" "cannot run pixdelta ('pixdelta' exited with 127"

  # An output renamed over an input would destroy it: OUT the folder FRAMES
  # (by its name or a link), the dark frame or a frame linked into OUT under
  # the name of a frame's output.
  fresh
  mkdir f o && cp -- "$tmp/src/1.img" f/a.img && cp -- "$tmp/src/2.img" f/b.img && ln -s f f-link
  cp -- "$dark" o/a.img
  for out_arg in f f-link f/. ; do
    run env PIXDELTA="$pixdelta" "$script" "$dark" f "$out_arg"
    check "OUT $out_arg is FRAMES: status 2" same "$status" 2
    check "OUT $out_arg is FRAMES: said" has "$err" "is the folder FRAMES"
  done
  run env PIXDELTA="$pixdelta" "$script" o/a.img f o
  check "dark in OUT under a frame's name: status 2" same "$status" 2
  check "dark in OUT under a frame's name: said" has "$err" "o/a.img is an input"
  check "dark in OUT under a frame's name: untouched" cmp -s o/a.img "$dark"
  check "dark in OUT under a frame's name: nothing made" listing o "a.img/"
  fresh
  mkdir f o && cp -- "$tmp/src/1.img" o/a.img && ln -s ../o/a.img f/b.img && cp -- "$tmp/src/2.img" f/a.img
  run env PIXDELTA="$pixdelta" "$script" "$dark" f o
  check "frame linked into OUT: status 2" same "$status" 2
  check "frame linked into OUT: said" has "$err" "o/a.img is an input"
  check "frame linked into OUT: untouched" cmp -s o/a.img "$tmp/src/1.img"
  check "frames unchanged after every refusal" cmp -s f/a.img "$tmp/src/2.img"
  # The dark frame among the frames, OUT elsewhere: no input is replaced.
  fresh
  mkdir f && cp -- "$tmp/src/1.img" f/a.img && cp -- "$dark" f/dark.img
  run env PIXDELTA="$pixdelta" "$script" f/dark.img f out
  check "dark among the frames: status 0" same "$status" 0
  check "dark among the frames: its output" made_from out/dark.img f/dark.img 0 "$dark"
  check "dark among the frames: unchanged" cmp -s f/dark.img "$dark"

  # Signals: the runs stop, the frames made stay, nothing else is left.
  local signal target number
  for signal in TERM INT HUP; do
    for target in process group; do
      fresh
      mkdir f
      cp -- "$tmp/src/1.img" f/a-done.img
      cp -- "$tmp/src/2.img" f/b-hang.img
      cp -- "$tmp/src/3.img" f/c-hang.img
      cp -- "$tmp/src/4.img" f/d-never.img
      start env PIXDELTA="$tmp/fake/pixdelta" "$script" "$dark" f out 100 2
      # b and c running means that a is done (two at a time, in order).
      if check "SIG$signal to the $target: the runs started" wait_started 2; then
        if [ "$target" = process ]; then kill -s "$signal" "$pid"; else kill -s "$signal" -- "-$pid"; fi
      fi
      stop
      number=$(kill -l "$signal")
      check "SIG$signal to the $target: killed by it" same "$status" $((128 + number))
      check "SIG$signal to the $target: the runs ended" fakes_gone
      check "SIG$signal to the $target: only the frame made left in OUT" listing out "a-done.img/"
      check "SIG$signal to the $target: that frame complete" made_from out/a-done.img f/a-done.img 100
    done
  done
  # The script returns only once every run has ended.
  fresh
  mkdir f && cp -- "$tmp/src/1.img" f/slow.img
  start env PIXDELTA="$tmp/fake/pixdelta" "$script" "$dark" f out 100 2
  if check "a run slow to die: started" wait_started 2; then kill -s TERM "$pid"; fi
  stop
  check "a run slow to die: killed by SIGTERM" same "$status" 143
  check "a run slow to die: ended before the script returned" fakes_gone
  check "a run slow to die: nothing left in OUT" listing out ""
}

slurm_tests() {
  local task name
  fresh
  mkdir frames bin
  ln -s "$pixdelta" bin/pixdelta
  cp -- "$dark" dark.img
  # In byte order: the names the array indexes.
  local -a names=("-lead.img" "B.img" "a.img" "bad.img" "broken.img" "new"$'\n'"line.img" "with space.img")
  cp -- "$tmp/src/1.img" frames/-lead.img
  cp -- "$tmp/src/2.img" frames/B.img
  cp -- "$tmp/src/3.img" frames/a.img
  head -c 5 "$tmp/src/4.img" >frames/bad.img
  ln -s nowhere.img frames/broken.img
  cp -- "$tmp/src/5.img" "frames/new"$'\n'"line.img"
  cp -- "$tmp/src/6.img" "frames/with space.img"
  cp -- "$tmp/src/7.img" frames/notes.txt
  # A locale that sorts otherwise ("a" before "B", '-' ignored), made here
  # where the locale sources are installed: the order must still be bytes.
  local locale=C
  if localedef -i en_US -f UTF-8 "$tmp/en_US.UTF-8" >/dev/null 2>&1; then
    locale=en_US.UTF-8
    export LOCPATH=$tmp
  fi

  run env LC_ALL="$locale" PATH="$PWD/bin:$PATH" SLURM_ARRAY_TASK_ID=0 bash "$slurm"
  check "slurm task 0: status 0" same "$status" 0
  check "slurm task 0: the report kept on stdout" has "$out" "x_size1"
  check "slurm task 0: the folder made, with the first frame in byte order" listing frames-dark -lead.img/
  for task in "${!names[@]}"; do
    name=${names[task]}
    run env LC_ALL="$locale" PATH="$PWD/bin:$PATH" SLURM_ARRAY_TASK_ID="$task" bash "$slurm"
    case $name in
      bad.img)
        check "slurm task $task ($name): status 1" same "$status" 1
        check "slurm task $task ($name): named" has "$err" "failed: frames/bad.img"
        check "slurm task $task ($name): why" has "$err" "EOF in frames/bad.img (header)" ;;
      broken.img)
        check "slurm task $task ($name): status 1" same "$status" 1
        check "slurm task $task ($name): named" has "$err" "failed: frames/broken.img"
        check "slurm task $task ($name): pixdelta's stdout kept" has "$out" "can not open file1 for input" ;;
      *)
        check "slurm task $task ($name): status 0" same "$status" 0
        check "slurm task $task ($name): made" made_from "frames-dark/$name" "frames/$name" 100 ;;
    esac
  done
  local made="-lead.img/B.img/a.img/new"$'\n'"line.img/with space.img/"
  check "slurm: every good frame made, nothing else" listing frames-dark "$made"

  for task in 7 999999999 1000000000 -1 01 1x "" " 1"; do
    run env PATH="$PWD/bin:$PATH" SLURM_ARRAY_TASK_ID="$task" bash "$slurm"
    check "slurm task '$task': status 2" same "$status" 2
    check "slurm task '$task': said" has "$err" "no such frame, frames/ holds 7"
  done
  run env -u SLURM_ARRAY_TASK_ID PATH="$PWD/bin:$PATH" bash "$slurm"
  check "slurm without a task id: status 2" same "$status" 2
  check "slurm refusals: nothing made" listing frames-dark "$made"

  run env PATH="$tmp/nopix" SLURM_ARRAY_TASK_ID=2 bash "$slurm"
  check "slurm without pixdelta: status 1" same "$status" 1
  check "slurm without pixdelta: named" has "$err" "failed: frames/a.img"

  # Cancelled (scancel signals every process of the task): no temporary left.
  for signal in TERM INT; do
    fresh
    mkdir frames
    cp -- "$dark" dark.img
    cp -- "$tmp/src/1.img" frames/hang.img
    start env PATH="$tmp/fake:$PATH" SLURM_ARRAY_TASK_ID=0 bash "$slurm"
    if check "slurm SIG$signal: started" wait_started 1; then kill -s "$signal" -- "-$pid"; fi
    stop
    check "slurm SIG$signal: status" same "$status" $((128 + $(kill -l "$signal")))
    check "slurm SIG$signal: nothing left" listing frames-dark ""
  done
}

install_tests() {
  local cmake=${3:?cmake} build
  build=$(realpath -- "${4:?the build folder}")
  fresh
  run "$cmake" --install "$build" --prefix "$case_dir/prefix"
  check "install: status 0" same "$status" 0
  check "install: the script in bin, executable" test -x prefix/bin/pixdelta-subtract-dark
  check "install: the Slurm example among the documents" cmp -s "$slurm" prefix/share/doc/pixdelta/examples/subtract-dark.slurm
  check "install: man pixdelta-subtract-dark shows pixdelta.1" \
    same "$(cat prefix/share/man/man1/pixdelta-subtract-dark.1 2>/dev/null)" ".so man1/pixdelta.1"
  check "install: the section in pixdelta.1" grep -q '^\.SH PIXDELTA-SUBTRACT-DARK' prefix/share/man/man1/pixdelta.1
  # The installed script runs the pixdelta installed beside it.
  mkdir f && cp -- "$tmp/src/1.img" f/a.img
  run env -u PIXDELTA PATH="$tmp/nopix" prefix/bin/pixdelta-subtract-dark "$dark" f out 100
  check "install: the installed script runs: status 0" same "$status" 0
  check "install: the installed script runs: made" made_from out/a.img f/a.img 100
  if command -v groff >/dev/null; then
    run groff -man -Tutf8 -ww -z "$examples/../pixdelta.1"
    check "pixdelta.1: groff warns of nothing" same "$status:$err" "0:"
  fi
}

case $group in
  subtract-dark) subtract_dark_tests ;;
  slurm) slurm_tests ;;
  install) install_tests "$@" ;;
  *) echo "$0: no test group $group" >&2; exit 2 ;;
esac
cd /
echo "$group: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
