# A private Wine environment for one test run; sourced by the Wine test runners.
#
#   wine_session_begin BUILD     makes the prefix template of the Windows build
#                                tree BUILD unless it is there already, copies it
#                                into a private directory and starts a private
#                                Xvfb display and wineserver; all of it goes
#                                again when the calling script exits
#   wine_session_com N PATH      maps COMn of the session to PATH
#   wine_session_at_exit CMD     runs CMD on exit, before the session is torn down
#   wine_session_run LIMIT_S CMD...
#                                runs CMD (say `wine x.exe`), stopped after
#                                LIMIT_S seconds or when the caller is signalled;
#                                returns its exit code (124 when it ran too long)
#
# With FWU_WINE_DISPLAY set, the session shows its windows on that display
# instead of a private Xvfb.
#
# After wine_session_begin: WINEPREFIX, TMPDIR and DISPLAY name the private
# prefix, temporary directory and display; FWU_WINE_RUN is the private
# directory holding them, free for the caller's own files.
#
# The build tree's architecture (BUILD/wine-arch, win32 or win64, written when
# it is configured) sets the prefix's architecture and the Wine loader. The
# template (BUILD/wine-template) is made once per build tree, so a 32-bit and a
# 64-bit template never mix, guarded by a lock so that parallel runs wait for
# one creation; a template from another Wine version or architecture is made
# again. Creating one takes about 10 s, a copy well under that.

export WINEDEBUG=-all
# No Mono or Gecko installer dialogs while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="

FWU_WINE_RUN=""
_fwu_wine_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)
_fwu_wine_job_pid=""
_fwu_wine_xvfb_pid=""
_fwu_wine_server_started=""
_fwu_wine_exit_hooks=()

_fwu_wine_log()
{
    echo "wine-session: $*" >&2
}

# Starts Xvfb on a display no one uses; sets DISPLAY and _fwu_wine_xvfb_pid.
_fwu_wine_start_xvfb()
{
    local attempt n pid i lock_pid
    for attempt in $(seq 1 40); do
        n=$((300 + RANDOM % 600))
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
        pid=$!
        # Ours once the lock file names our Xvfb and its socket is there; if
        # another run took the number first, our Xvfb exits and we try again.
        for i in $(seq 1 100); do
            kill -0 "$pid" 2>/dev/null || break
            lock_pid=$({ tr -d ' \n' <"/tmp/.X$n-lock"; } 2>/dev/null || true)
            if [ "$lock_pid" = "$pid" ] && [ -S "/tmp/.X11-unix/X$n" ]; then
                export DISPLAY=":$n"
                _fwu_wine_xvfb_pid=$pid
                return 0
            fi
            sleep 0.05
        done
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    _fwu_wine_log "no free X display found"
    return 1
}

_fwu_wine_stop_xvfb()
{
    if [ -n "$_fwu_wine_xvfb_pid" ]; then
        kill "$_fwu_wine_xvfb_pid" 2>/dev/null || true
        wait "$_fwu_wine_xvfb_pid" 2>/dev/null || true
        _fwu_wine_xvfb_pid=""
    fi
}

# The server is started first, its output discarded: whichever wine call
# starts it hands it that call's output, which would then fill with its noise.
# It stays while programs run and 30 s after, not for ever: a runner killed
# before its teardown leaves no server behind for long.
_fwu_wine_start_server()
{
    wineserver -p30 </dev/null >/dev/null 2>&1
    _fwu_wine_server_started=1
}

# Killing the server saves the registry.
_fwu_wine_stop_server()
{
    if [ -n "$_fwu_wine_server_started" ]; then
        wineserver -k </dev/null >/dev/null 2>&1 || true
        _fwu_wine_server_started=""
    fi
}

_fwu_wine_template_version()
{
    echo "$(wine --version 2>/dev/null) $WINEARCH"
}

# Sets WINEARCH from the build tree and, for a 64-bit build, puts a `wine` of
# the session's own first on PATH: with the 32-bit part installed, /usr/bin/wine
# always takes the 32-bit loader, which some machines cannot run at all.
_fwu_wine_use_build()
{
    local build=$1 arch
    arch=$(cat "$build/wine-arch" 2>/dev/null) ||
        { _fwu_wine_log "no $build/wine-arch: configure that build first"; return 1; }
    "$_fwu_wine_scripts/windows-build" --can-run "$arch" || return 1
    export WINEARCH=$arch
    if [ "$arch" = win64 ]; then
        mkdir -p "$FWU_WINE_RUN/bin"
        printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$FWU_WINE_RUN/bin/wine"
        chmod +x "$FWU_WINE_RUN/bin/wine"
        export PATH="$FWU_WINE_RUN/bin:$PATH" WINELOADER=/usr/lib/wine/wine64
    fi
}

_fwu_wine_ms()
{
    date +%s%3N
}

_fwu_wine_seconds_since()
{
    local ms=$(($(_fwu_wine_ms) - $1))
    printf '%d.%03d' $((ms / 1000)) $((ms % 1000))
}

# Makes a fresh prefix at $1 (absent), with its own display and TMPDIR.
_fwu_wine_make_template()
(
    prefix=$1
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/fwu-wine-template.XXXXXX") || exit 1
    _fwu_wine_xvfb_pid=""
    _fwu_wine_server_started=""
    trap '_fwu_wine_stop_server; _fwu_wine_stop_xvfb; rm -rf "$scratch"' EXIT
    export WINEPREFIX=$prefix TMPDIR=$scratch
    _fwu_wine_start_xvfb || exit 1
    _fwu_wine_start_server
    wine wineboot -i </dev/null >/dev/null 2>&1 || exit 1
    # No window manager under Xvfb: unmanaged windows do not stall on hiding and
    # keep their caption.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || exit 1
    # The dialog fonts themselves, not DejaVu in their place.
    cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/" || exit 1
    _fwu_wine_stop_server
    # The registry reaches the disk when the server stops.
    grep -q '"Managed"="N"' "$prefix/user.reg"
)

# Makes the template at $1 unless a complete one for this Wine is there.
# Runs under the exclusive lock.
_fwu_wine_ensure_template()
{
    local template=$1 version start
    version=$(_fwu_wine_template_version)
    if [ -f "$template/.fwu-template" ] && [ "$(cat "$template/.fwu-template")" = "$version" ]; then
        return 0
    fi
    _fwu_wine_log "making the prefix template $template ($version)"
    start=$(_fwu_wine_ms)
    rm -rf "$template" "$template.new"
    if ! _fwu_wine_make_template "$template.new"; then
        _fwu_wine_log "could not make the prefix template"
        rm -rf "$template.new"
        return 1
    fi
    echo "$version" >"$template.new/.fwu-template"
    mv "$template.new" "$template"
    _fwu_wine_log "prefix template made in $(_fwu_wine_seconds_since "$start") s"
}

_fwu_wine_session_end()
{
    local status=$? i
    trap '' INT TERM  # a second signal must not cut the teardown short
    if [ -n "$_fwu_wine_job_pid" ]; then
        kill -TERM "$_fwu_wine_job_pid" 2>/dev/null || true
        wait "$_fwu_wine_job_pid" 2>/dev/null || true
    fi
    for ((i = ${#_fwu_wine_exit_hooks[@]} - 1; i >= 0; i--)); do
        eval "${_fwu_wine_exit_hooks[i]}" || true
    done
    _fwu_wine_stop_server
    _fwu_wine_stop_xvfb
    [ -n "$FWU_WINE_RUN" ] && rm -rf "$FWU_WINE_RUN"
    FWU_WINE_RUN=""
    return "$status"
}

wine_session_at_exit()
{
    _fwu_wine_exit_hooks+=("$1")
}

wine_session_begin()
{
    local template start lock_fd
    template=$(realpath -m "$1/wine-template")
    trap _fwu_wine_session_end EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    FWU_WINE_RUN=$(mktemp -d "${TMPDIR:-/tmp}/fwu-wine.XXXXXX")
    mkdir -p "$(dirname "$template")" "$FWU_WINE_RUN/tmp"
    _fwu_wine_use_build "$1" || return 1

    # Exclusive while the template is checked and perhaps made, shared while
    # it is copied, so that parallel runs copy at the same time.
    exec {lock_fd}>"$template.lock"
    flock -x "$lock_fd"
    _fwu_wine_ensure_template "$template" || return 1
    flock -s "$lock_fd"
    start=$(_fwu_wine_ms)
    # A full copy, as Wine writes into the prefix (the registry, at least):
    # no hard links. Where the file system can, blocks are shared copy-on-write,
    # which is as safe; elsewhere it is a plain copy (~0.3 s for ~590 MB).
    cp -a --reflink=auto "$template" "$FWU_WINE_RUN/prefix"
    exec {lock_fd}>&-
    [ -n "${FWU_WINE_VERBOSE:-}" ] &&
        _fwu_wine_log "prefix copied in $(_fwu_wine_seconds_since "$start") s"

    export WINEPREFIX="$FWU_WINE_RUN/prefix" TMPDIR="$FWU_WINE_RUN/tmp"
    if [ -n "${FWU_WINE_DISPLAY:-}" ]; then
        export DISPLAY=$FWU_WINE_DISPLAY  # a person's own screen, for the demo
    else
        _fwu_wine_start_xvfb || return 1
    fi
    _fwu_wine_start_server
}

wine_session_com()
{
    ln -sfn "$2" "$WINEPREFIX/dosdevices/com$1"
}

# In the background and waited for, so that a signal to the caller is handled
# at once rather than when the command ends.
wine_session_run()
{
    local limit_s=$1 status=0
    shift
    timeout --kill-after=10 "$limit_s" "$@" &
    _fwu_wine_job_pid=$!
    wait "$_fwu_wine_job_pid" || status=$?
    _fwu_wine_job_pid=""
    [ "$status" -eq 124 ] && _fwu_wine_log "stopped after $limit_s s: $*"
    return "$status"
}
