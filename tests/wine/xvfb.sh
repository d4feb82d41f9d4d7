#!/bin/sh
# The X server of the GUI tests: xvfb.sh start|stop DISPLAY. start leaves a server that
# already answers on that display alone; stop ends only a server that start began.
action=$1
display=$2
number=${display#:}
socket=/tmp/.X11-unix/X$number
pidfile=${TMPDIR:-/tmp}/ostrel-xvfb-$number.pid
case "$action" in
  start)
    [ -S "$socket" ] && exit 0
    Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    echo $! >"$pidfile"
    i=0
    while [ ! -S "$socket" ]; do
      i=$((i + 1))
      [ "$i" -gt 100 ] && { echo "Xvfb did not start on $display" >&2; exit 1; }
      sleep 0.1
    done
    ;;
  stop)
    if [ -f "$pidfile" ]; then
      kill "$(cat "$pidfile")" 2>/dev/null
      rm -f "$pidfile"
    fi
    ;;
esac
exit 0
