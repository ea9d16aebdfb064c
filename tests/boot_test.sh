#!/usr/bin/env bash
# Installs the velmario-server package into this Debian 12 system booted a
# second time under systemd (systemd-nspawn -b, in a network of its own, on
# an overlay of this root that vanishes afterwards) and uses it the way the
# README, /etc/default/velmario-server and the manual page say: installed,
# enabled and started; a lookup; the first import and the documented
# command; reloads that return once the new directory is served or fail
# when it is refused; PostgreSQL as the options file shows it, password
# and all; a bad option; a Prometheus scraping the metrics; LDAP with a
# password that is right, then wrong; removed, purged; then the previous
# release installed, edited, fed and upgraded to this one.
#
#   boot_test.sh PACKAGE_DIR SOURCE_DIR PREVIOUS_DIR
#
# PREVIOUS_DIR holds the previous release's packages (previous_release.sh);
# without them the upgrade is not tested, which fails under CI.
# Needs root. Exits 77 (skipped), saying why, only where this kernel or
# account cannot boot a container at all.
set -euo pipefail
packages=$1
source_dir=$2
previous=${3:-}
export LC_ALL=C # replies are Windows-1252 bytes
started=$SECONDS

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; [ -n "${leader:-}" ] && dump_journal; exit 1; }

# --- Can this machine boot a container at all? ---
[ "$(id -u)" -eq 0 ] || skip "booting a container needs root; run as root to test the installed service"
if [ "$(awk 'NR == 1 { print $1 " " $2 " " $3 }' /proc/self/uid_map)" != "0 0 4294967295" ]; then
  skip "in a user namespace (as scripts/test.sh runs without root): the kernel lets no container boot here"
fi
command -v systemd-nspawn >/dev/null || fail "systemd-nspawn is missing (scripts/deps.sh --test installs systemd-container)"
command -v promtool >/dev/null || fail "promtool is missing (scripts/deps.sh --test installs prometheus)"
unshare --mount --pid --fork --net true 2>/dev/null ||
  skip "this kernel refuses new mount, PID or network namespaces, which systemd-nspawn needs"
server_deb=$(ls "$packages"/velmario-server_*.deb 2>/dev/null | head -n 1)
[ -n "$server_deb" ] || fail "no velmario-server package in $packages (package_test builds it)"
client_deb=$(ls "$packages"/velmario_*.deb 2>/dev/null | head -n 1)
[ -n "$client_deb" ] || fail "no velmario package in $packages (package_test builds it)"
release=$(dpkg-deb --field "$server_deb" Version)
previous_debs=()
if [ -n "$previous" ]; then
  mapfile -t previous_debs < <(ls "$previous"/velmario-server_*.deb "$previous"/velmario_*.deb 2>/dev/null)
fi
if [ ${#previous_debs[@]} -ne 2 ]; then
  [ "${CI:-}" = true ] && fail "no packages of the previous release in '${previous:-}' (previous_release.sh builds them)"
  echo "NOTE: no packages of the previous release in '${previous:-}': the upgrade is not tested"
  previous_debs=()
fi

# The README, the manual page and the options file give the same steps for
# PostgreSQL's password and the same PostgreSQL source, word for word.
options_file=$source_dir/packaging/velmario-server.default
# The first block of steps in each (the options file shows LDAP's next).
steps_in_options=$(sed -n '/^#   install -m 0600/,/systemctl restart velmario-server$/{p;/systemctl restart velmario-server$/q}' "$options_file" | sed 's/^#   //')
steps_in_readme=$(sed -n '/^    install -m 0600/,/systemctl restart velmario-server$/{p;/systemctl restart velmario-server$/q}' "$source_dir/README.md" | sed 's/^    //')
steps_in_manual=$(sed -n '/^install \\-m 0600/,/systemctl restart velmario\\-server$/{p;/systemctl restart velmario\\-server$/q}' "$source_dir/packaging/velmario-server.1" |
                  sed 's/\\-/-/g; s/\\e/\\/g')
[ -n "$steps_in_options" ] || fail "the options file shows no password steps"
[ "$steps_in_readme" = "$steps_in_options" ] || fail "the README's password steps differ from the options file's"
[ "$steps_in_manual" = "$steps_in_options" ] || fail "the manual page's password steps differ from the options file's:
$steps_in_manual"
postgres_source=$(sed -n 's/^#\(VELMARIO_SERVER_SOURCE="--postgres .*\)$/\1/p' "$options_file")
grep -qxF "      $postgres_source" "$source_dir/README.md" || fail "the README does not show $postgres_source"
sed 's/\\-/-/g' "$source_dir/packaging/velmario-server.1" | grep -qxF "$postgres_source" ||
  fail "the manual page does not show $postgres_source"

# Everything below happens in a mount namespace of our own: its mounts go
# with it, however this script ends.
if [ -z "${VELMARIO_BOOT_TEST_NS:-}" ]; then
  exec env VELMARIO_BOOT_TEST_NS=1 unshare --mount --propagation private bash "$0" "$@"
fi

# CI runs this in a chroot with a fresh /sys: no cgroup file system there.
# The container needs the cgroups of the machine it runs on.
case $(stat -fc %T /sys/fs/cgroup 2>/dev/null || true) in
  cgroup2fs|tmpfs) ;;
  *)
    mount --rbind /proc/1/root/sys/fs/cgroup /sys/fs/cgroup 2>/dev/null ||
      mount -t cgroup2 cgroup2 /sys/fs/cgroup 2>/dev/null ||
      skip "no cgroup file system can be mounted here, which systemd in a container needs"
    ;;
esac

scratch=$(mktemp -d /tmp/velmario-boot.XXXXXX)
mount -t tmpfs -o mode=0755 tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
# This machine's root as it is, with whatever the test changes kept in memory.
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root" ||
  skip "this kernel cannot make an overlay of the root file system"
root=$scratch/root
nspawn_pid=""
leader=""
cleanup() {
  local status=$?
  trap - EXIT
  set +e
  [ -n "$leader" ] && kill -KILL "$leader" 2>/dev/null
  [ -n "$nspawn_pid" ] && wait "$nspawn_pid" 2>/dev/null
  umount -l "$root" 2>/dev/null || true
  umount -l "$scratch" 2>/dev/null || true
  rmdir "$scratch" 2>/dev/null || true
  exit "$status"
}
trap cleanup EXIT

# --- The root to boot ---
mkdir -p "$root/root/debs" "$root/root/previous"
cp "$server_deb" "$client_deb" "$root/root/debs/"
[ ${#previous_debs[@]} -eq 0 ] || cp "${previous_debs[@]}" "$root/root/previous/"
# The name of the options file's PostgreSQL example, here.
echo "127.0.0.1 db.example.org" >>"$root/etc/hosts"
# A Prometheus that scrapes the metrics the options file serves, every second.
mkdir -p "$root/etc/prometheus"
cat >"$root/etc/prometheus/prometheus.yml" <<'EOF'
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - /etc/prometheus/velmario.rules.yml
scrape_configs:
  - job_name: velmario
    static_configs:
      - targets: ['127.0.0.1:11007']
EOF
# Where this runs in a chroot (as CI does), the container is one too, in
# which the kernel lets no process make a user namespace: Prometheus's
# PrivateUsers= would keep it from starting. (velmario-server's unit does
# without it.)
mkdir -p "$root/etc/systemd/system/prometheus.service.d"
printf '[Service]\nPrivateUsers=no\n' >"$root/etc/systemd/system/prometheus.service.d/chroot.conf"
# Its own samples only: whatever this machine's Prometheus stored stays out.
[ -d "$root/var/lib/prometheus/metrics2" ] && find "$root/var/lib/prometheus/metrics2" -mindepth 1 -delete
# A Debian 12 as installed lets packages start their services: a container
# image's policy-rc.d forbidding it (exit 101) is not part of it.
rm -f "$root/usr/sbin/policy-rc.d"
# What the machine this runs on has enabled (its own servers, timers) stays
# off: the container boots the system's base and what the test starts. The
# D-Bus daemon too, which a minimal Debian does not have.
find "$root/etc/systemd/system" -path '*.wants/*' -type l -delete
for unit in dbus.service dbus.socket; do
  ln -sf /dev/null "$root/etc/systemd/system/$unit"
done

systemd-nspawn --quiet --register=no --keep-unit --link-journal=no --private-network \
  --machine=velmario-boot --directory="$root" --console=read-only --boot >"$scratch/console.log" 2>&1 &
nspawn_pid=$!
# The container's init: the child of systemd-nspawn once it runs another
# program.
child_of() {
  local status
  for status in /proc/[0-9]*/status; do
    if [ "$(awk '$1 == "PPid:" { print $2 }' "$status" 2>/dev/null)" = "$1" ]; then
      status=${status#/proc/}
      echo "${status%/status}"
      return
    fi
  done
}
for _ in $(seq 100); do
  leader=$(child_of "$nspawn_pid")
  [ -n "$leader" ] && [ "$(readlink "/proc/$leader/exe" 2>/dev/null)" != "$(readlink "/proc/$nspawn_pid/exe")" ] && break
  leader=""
  kill -0 "$nspawn_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$leader" ]; then
  cat "$scratch/console.log"
  grep -qiE "cgroup|namespace|not permitted|operation not supported" "$scratch/console.log" &&
    skip "systemd-nspawn cannot boot a container on this kernel (its output is above)"
  fail "systemd-nspawn did not start a container"
fi

# Runs a command inside the container, as root, with a plain environment.
inct() {
  nsenter --target "$leader" --all --root --wd -- /usr/bin/env -i LC_ALL=C HOME=/root \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
dump_journal() {
  echo "--- the service's journal in the container:"
  inct journalctl -u velmario-server --no-pager -o short-precise 2>/dev/null | tail -n 60 || true
  echo "--- units that failed, and the journal's last lines:"
  inct systemctl --failed --no-legend --no-pager 2>/dev/null || true
  inct systemctl list-jobs --no-legend --no-pager 2>/dev/null | head -n 20 || true
  inct journalctl --no-pager -n 30 2>/dev/null || true
}
ctl_show() { inct systemctl show -p "$1" --value velmario-server; }
# Where the journal ends now: what the service logs after it is read with
# since_mark.
mark_journal() { inct journalctl -n 0 --show-cursor --no-pager | sed -n 's/^-- cursor: //p'; }
since_mark() { inct journalctl -u velmario-server --after-cursor "$1" --no-pager -o cat "${@:2}"; }
# What the service logged since MARK at err or above. The priority is read
# from each entry: the service's dynamic user has a journal file of its own,
# and journalctl 252 given both a cursor and -p passes over that file's lines.
errors_since() { # MARK
  since_mark "$1" -o export --output-fields=PRIORITY,MESSAGE |
    awk 'BEGIN { RS = ""; FS = "\n" }
         { p = ""; m = ""
           for (i = 1; i <= NF; i++) {
             if ($i ~ /^PRIORITY=/) p = substr($i, 10)
             else if ($i ~ /^MESSAGE=/) m = substr($i, 9)
           }
           if (p != "" && p + 0 <= 3) print m }'
}
# Whether the service's journal since MARK holds TEXT (at err or above, when
# asked), within 5 s: the server writes its log from a thread of its own.
journal_since() { # MARK TEXT [err]
  local said
  for _ in $(seq 50); do
    if [ "${3:-}" = err ]; then said=$(errors_since "$1"); else said=$(since_mark "$1"); fi
    # whole: grep -q ending first would fail the pipe (pipefail)
    grep -aqF -- "$2" <<<"$said" && return 0
    sleep 0.1
  done
  return 1
}

# Booted: multi-user.target reached (the system may be degraded, or still
# retrying some unit of this machine's that does not work in a container).
state=""
for _ in $(seq 120); do
  state=$(inct systemctl is-active multi-user.target 2>/dev/null || true)
  [ "$state" = active ] && break
  sleep 0.5
done
[ "$state" = active ] || fail "the container did not boot (multi-user.target $state)"
state=$(inct systemctl is-system-running 2>/dev/null || true)
echo "booted in $((SECONDS - started)) s ($state)"

# Restarts the service, which is to fail with exit STATUS and stay failed:
# by then systemd would have restarted it.
expect_refused_start() { # STATUS WHAT-IT-WAS-GIVEN
  if inct systemctl restart velmario-server 2>/dev/null; then fail "$2 started"; fi
  sleep 3
  [ "$(ctl_show ActiveState)" = failed ] || fail "$2 left the service $(ctl_show ActiveState)"
  [ "$(ctl_show NRestarts)" = 0 ] || fail "$2 was restarted $(ctl_show NRestarts) times"
  [ "$(ctl_show ExecMainStatus)" = "$1" ] || fail "$2 exited $(ctl_show ExecMainStatus)"
}

# A lookup from inside: sends the request, reads the reply of the expected
# length (replies have no end mark).
lookup() {
  inct bash -c 'exec 3<>/dev/tcp/127.0.0.1/1007 && printf "%s" "$1" >&3 &&
                IFS= read -r -t 5 -N "$2" reply <&3; printf "%s" "$reply"' lookup "$1" "$2" 2>/dev/null || true
}
expect_lookup() { # NUMBER EXPECTED-REPLY WHAT
  local got
  got=$(lookup "$1" "${#2}")
  [ "$got" = "$2" ] || fail "$3: $1 was answered '$got', not '$2'"
}

# --- Installed: enabled and started ---
inct dpkg -i "/root/debs/$(basename "$server_deb")" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg -i"; }
[ "$(inct systemctl is-enabled velmario-server)" = enabled ] || fail "not enabled on installation"
for _ in $(seq 50); do [ "$(ctl_show ActiveState)" = active ] && break; sleep 0.1; done
[ "$(ctl_show ActiveState)" = active ] || fail "not started on installation"
case $(ctl_show StatusText) in
  "serving 36 entries from the sample directory"*) ;;
  *) fail "status text '$(ctl_show StatusText)'" ;;
esac
expect_lookup 20230001 "$(printf 'Jos\xe9 Pe\xf1a Ib\xe1\xf1ez*961-976-1527')" "the sample directory"

# No shell between systemd and the server: its lines carry its own name.
journal_json=$(inct journalctl -u velmario-server -o json --no-pager)
grep -q '"SYSLOG_IDENTIFIER":"velmario-server"' <<<"$journal_json" || fail "no journal line from velmario-server"
grep -q '"SYSLOG_IDENTIFIER":"sh"' <<<"$journal_json" && fail "journal lines come from a shell"
[ "$(inct cat "/proc/$(ctl_show MainPID)/comm")" = velmario-server ] || fail "the main process is not velmario-server"
if inct journalctl -b --no-pager | grep -aq "pre-existing public"; then
  fail "systemd moved a state directory made at installation: $(inct journalctl -b --no-pager | grep -a 'pre-existing public')"
fi
inct systemd-analyze verify --man=no velmario-server.service >"$scratch/verify.log" 2>&1 ||
  { cat "$scratch/verify.log"; fail "systemd-analyze verify"; }
exposure=$(inct systemd-analyze security velmario-server --no-pager | tail -n 1)
level=$(echo "$exposure" | grep -oE '[0-9]+\.[0-9]+' | head -n 1)
awk -v l="$level" 'BEGIN { exit !(l != "" && l <= 2.0) }' || fail "exposure above 2.0: $exposure"
echo "exposure under systemd: $level"

# --- The first import, then the documented command ---
# The manual page's example, word for word; the README and the options file
# say the same.
documented=$(sed -n '/^\.SH EXAMPLES/,/^\.fi/p' "$source_dir/packaging/velmario-server.1" | grep '^velmario\|^systemctl' |
             sed 's/\\-/-/g')
[ "$(echo "$documented" | wc -l)" -eq 2 ] || fail "the manual page's example is not two commands: $documented"
for doc in "$source_dir/README.md" "$source_dir/packaging/velmario-server.default"; do
  while IFS= read -r command; do
    grep -qF -- "$command" "$doc" || fail "$(basename "$doc") does not say '$command'"
  done <<<"$documented"
done
inct cp /usr/share/doc/velmario-server/examples/directory-example.csv /root/people.csv
while IFS= read -r command; do
  # shellcheck disable=SC2086 # the words of the documented command
  inct sh -c "cd /root && $command" >"$scratch/step.log" 2>&1 || { cat "$scratch/step.log"; fail "'$command' failed"; }
done <<<"$documented"
expect_lookup 20240002 "$(printf 'Mar\xeda Mu\xf1oz L\xf3pez*961-555-0102')" "right after the first import and reload"
# The service, as its dynamic user, starts from the checked copy import
# kept beside the database.
mark=$(mark_journal)
inct systemctl restart velmario-server || fail "restart after the first import"
grep -q "read from the copy checked when imported" <<<"$(since_mark "$mark")" ||
  fail "the service did not start from the checked copy: $(since_mark "$mark" | tail -n 5)"
expect_lookup 20240002 "$(printf 'Mar\xeda Mu\xf1oz L\xf3pez*961-555-0102')" "after a restart from the checked copy"

# --- A reload returns once the new directory is served ---
inct sh -c 'awk "BEGIN { print \"control_number,name,telephone\";
                         for (i = 1; i <= 500000; i++) printf \"%d,Persona %d,961-%07d\n\", 30000000 + i, i, i;
                         print \"20240002,Maria Actualizada,961-555-9999\" }" >/root/big.csv'
inct velmario-server import /root/big.csv --db /var/lib/velmario-server/directory.db 2>/dev/null ||
  fail "importing 500 001 entries"
inct test -f /var/lib/velmario-server/directory.db-replies || fail "import kept no checked copy of the replies"
# Without that copy the reload reads and checks every entry: long enough to
# watch the status text say so.
inct rm /var/lib/velmario-server/directory.db-replies
reload_started=$SECONDS
inct systemctl reload velmario-server >"$scratch/reload.log" 2>&1 &
reload_pid=$!
saw_reloading=""
while kill -0 "$reload_pid" 2>/dev/null; do
  case $(ctl_show StatusText) in reloading*) saw_reloading=yes ;; esac
  sleep 0.02
done
wait "$reload_pid" || { cat "$scratch/reload.log"; fail "systemctl reload of a good directory failed"; }
expect_lookup 20240002 "Maria Actualizada*961-555-9999" "right after systemctl reload returned"
[ -n "$saw_reloading" ] || fail "the status text never said it was reloading"
case $(ctl_show StatusText) in
  "serving 500001 entries from /var/lib/velmario-server/directory.db"*) ;;
  *) fail "status text after the reload: '$(ctl_show StatusText)'" ;;
esac
echo "reload of 500 001 entries returned after $((SECONDS - reload_started)) s, serving them"

# --- A reload of a damaged file fails and keeps the directory ---
mark=$(mark_journal)
inct sh -c 'head -c 200000 /dev/urandom >/var/lib/velmario-server/damaged && mv /var/lib/velmario-server/damaged /var/lib/velmario-server/directory.db'
if inct systemctl reload velmario-server >"$scratch/reload.log" 2>&1; then fail "systemctl reload of a damaged file succeeded"; fi
journal_since "$mark" "still serving the previous directory" err ||
  fail "no error in the journal says why the reload failed"
[ "$(ctl_show ActiveState)" = active ] || fail "the service did not stay active after a refused reload"
expect_lookup 20240002 "Maria Actualizada*961-555-9999" "after a refused reload"

# --- A bad option: an error in the journal, and no restarts ---
inct cp /etc/default/velmario-server /root/options.saved
inct sed -i 's|^VELMARIO_SERVER_OPTIONS=.*|VELMARIO_SERVER_OPTIONS="--allow 10.0.0.0/33"|' /etc/default/velmario-server
mark=$(mark_journal)
expect_refused_start 1 "a bad option"
errors=$(errors_since "$mark")
grep -qF -- "--allow: '10.0.0.0/33' is not an address or network" <<<"$errors" || fail "the bad option is not an error in the journal: $errors"
grep -qF -- "Try 'velmario-server --help'." <<<"$errors" || fail "the second line of the message is not an error"
inct cp /root/options.saved /etc/default/velmario-server
inct systemctl reset-failed velmario-server

# --- Prometheus scrapes the lookups ---
inct velmario-server import /usr/share/doc/velmario-server/examples/directory-example.csv \
  --db /var/lib/velmario-server/directory.db 2>/dev/null || fail "importing the example again"
inct systemctl restart velmario-server || fail "restart with the packaged options"
inct cp /usr/share/doc/velmario-server/examples/velmario.rules.yml /etc/prometheus/velmario.rules.yml ||
  fail "no example alert rules in the package"
inct promtool check rules /etc/prometheus/velmario.rules.yml >"$scratch/rules.log" 2>&1 ||
  { cat "$scratch/rules.log"; fail "promtool check rules"; }
inct systemctl restart prometheus || fail "prometheus did not start"
expect_lookup 20240001 "$(printf 'Pe\xf1a Ib\xe1\xf1ez, Jos\xe9*961-555-0101')" "metrics: lookup 1"
expect_lookup 20240002 "$(printf 'Mar\xeda Mu\xf1oz L\xf3pez*961-555-0102')" "metrics: lookup 2"
expect_lookup 20240003 "$(printf '\xc1ngel N\xfa\xf1ez Ruiz*961-555-0103')" "metrics: lookup 3"
expect_lookup 99999999 "$(printf 'N\xfamero de control no registrado*')" "metrics: lookup 4"
inct bash -c 'exec 3<>/dev/tcp/127.0.0.1/11007 && printf "GET /metrics HTTP/1.0\r\n\r\n" >&3 && cat <&3' \
  >"$scratch/scrape.txt" || fail "no answer at 127.0.0.1:11007/metrics"
sed '1,/^\r$/d' "$scratch/scrape.txt" >"$scratch/metrics.txt"
grep -q '^velmario_directory_entries 3$' "$scratch/metrics.txt" || fail "metrics: $(grep velmario_directory "$scratch/metrics.txt")"
inct promtool check metrics <"$scratch/metrics.txt" >"$scratch/promtool.log" 2>&1 ||
  { cat "$scratch/promtool.log"; fail "promtool check metrics"; }
# The value Prometheus holds now; nothing while it is still starting.
query() { { inct promtool query instant http://127.0.0.1:9090 "$1" 2>/dev/null || true; } | sed -n 's/.* => \([0-9.]*\) @.*/\1/p'; }
found="" missing=""
for _ in $(seq 60); do
  found=$(query 'velmario_lookups_total{result="found"}')
  missing=$(query 'velmario_lookups_total{result="not_found"}')
  [ "$found" = 3 ] && [ "$missing" = 1 ] && break
  sleep 0.5
done
[ "$found" = 3 ] && [ "$missing" = 1 ] || fail "Prometheus has found=$found, not_found=$missing lookups, not 3 and 1"
echo "Prometheus scraped 3 found and 1 not-found lookups"
inct bash -c 'exec 3<>/dev/tcp/127.0.0.1/9090 && printf "GET /api/v1/rules HTTP/1.0\r\n\r\n" >&3 && cat <&3' \
  >"$scratch/rules.json" || fail "no answer from Prometheus's rules API"
for alert in VelmarioSourceDown VelmarioDirectoryRefused VelmarioSourceRefusesServer VelmarioNoSuccessfulLoad \
  VelmarioRefusalsRising; do
  grep -q "\"name\":\"$alert\"" "$scratch/rules.json" || fail "Prometheus did not load the alert $alert"
done
[ "$(query 'velmario_build_info')" = 1 ] || fail "no velmario_build_info in Prometheus"

# --- The metrics port taken by another program: lookups go on ---
inct systemctl stop velmario-server
inct systemd-run --unit=port-holder --quiet systemd-socket-activate -l 127.0.0.1:11007 sleep infinity ||
  fail "cannot hold the metrics port"
sleep 0.5
[ "$(inct systemctl show -p ActiveState --value port-holder)" = active ] || fail "the port holder did not start"
mark=$(mark_journal)
inct systemctl start velmario-server || fail "the metrics port taken kept the service from starting"
expect_lookup 20240001 "$(printf 'Pe\xf1a Ib\xe1\xf1ez, Jos\xe9*961-555-0101')" "with the metrics port taken"
journal_since "$mark" "cannot serve metrics on 127.0.0.1:11007" err ||
  fail "the metrics port taken is not an error in the journal"
status_text=$(inct systemctl status velmario-server --no-pager --full 2>/dev/null || true)
grep -qF "no metrics: " <<<"$status_text" || fail "systemctl status does not say the metrics are not served: $status_text"
inct systemctl stop port-holder
taken=""
for _ in $(seq 80); do
  grep -qF "metrics served at 127.0.0.1:11007" <<<"$(since_mark "$mark")" && { taken=yes; break; }
  sleep 0.5
done
[ -n "$taken" ] || fail "the metrics port, once free, was not taken"

# --- PostgreSQL, as the options file shows it ---
if ! inct pg_lsclusters -h | awk '$3 == 5432' | grep -q .; then
  inct pg_createcluster 15 velmario --port 5432 --locale C.UTF-8 >/dev/null || fail "pg_createcluster"
fi
cluster=$(inct pg_lsclusters -h | awk '$3 == 5432 { print $1 "-" $2; exit }')
inct systemctl start "postgresql@$cluster" || fail "PostgreSQL $cluster did not start"
for _ in $(seq 100); do inct pg_isready -q -h 127.0.0.1 -p 5432 && break; sleep 0.1; done
psql() { inct runuser -u postgres -- env PGCLIENTENCODING=UTF8 psql -X -q -v ON_ERROR_STOP=1 -p 5432 "$@"; }
psql -c "CREATE ROLE velmario LOGIN PASSWORD 'prueba-de-velmario-42'" -c "CREATE DATABASE people" ||
  fail "creating the role and the database"
psql -d people -c "CREATE TABLE students (student_id integer, full_name text, phone text)" \
  -c "INSERT INTO students VALUES (20250001, 'Pilar Gómez', '961-555-0301'), (20250002, 'Tomás Ruiz', NULL)" \
  -c "CREATE VIEW velmario_directory AS SELECT student_id::text AS control_number, full_name AS name,
        phone AS telephone FROM students WHERE phone IS NOT NULL" \
  -c "GRANT SELECT ON velmario_directory TO velmario" || fail "creating the directory's view"
# The options file's lines, word for word: the source, then the password.
inct sed -i "s|^#\(VELMARIO_SERVER_SOURCE=\"--postgres \)|\1|" /etc/default/velmario-server
inct grep -q '^VELMARIO_SERVER_SOURCE="--postgres ' /etc/default/velmario-server || fail "no PostgreSQL example in the options file"
inct sed -n '/^#   install -m 0600/,/systemctl restart velmario-server$/{p;/systemctl restart velmario-server$/q}' /etc/default/velmario-server |
  sed 's/^#   //; s/PASSWORD/prueba-de-velmario-42/' >"$scratch/password.sh"
[ "$(wc -l <"$scratch/password.sh")" -ge 5 ] || fail "the options file shows no way to give the password"
cp "$scratch/password.sh" "$root/root/password.sh"
inct sh -e /root/password.sh >"$scratch/step.log" 2>&1 || { cat "$scratch/step.log"; fail "the password steps failed"; }
[ "$(ctl_show ActiveState)" = active ] || fail "not serving from PostgreSQL"
expect_lookup 20250001 "$(printf 'Pilar G\xf3mez*961-555-0301')" "from PostgreSQL"
psql -d people -c "UPDATE students SET phone = '961-555-0399' WHERE student_id = 20250001"
inct systemctl reload velmario-server || fail "systemctl reload from PostgreSQL"
expect_lookup 20250001 "$(printf 'Pilar G\xf3mez*961-555-0399')" "right after reloading from PostgreSQL"
inct journalctl -u velmario-server --no-pager -o cat | grep -aq "prueba-de-velmario-42" && fail "the password is in the journal"

# --- A password PostgreSQL refuses: one attempt, an error, no restarts ---
psql -c "ALTER ROLE velmario PASSWORD 'otra-clave'" || fail "changing the role's password"
mark=$(mark_journal)
expect_refused_start 4 "a password PostgreSQL refuses"
journal_since "$mark" 'password authentication failed for user "velmario"' err ||
  fail "the refused password is not an error in the journal"
psql -c "ALTER ROLE velmario PASSWORD 'prueba-de-velmario-42'"
inct systemctl reset-failed velmario-server
inct systemctl start velmario-server || fail "not serving from PostgreSQL once the password is right again"

# --- Back from PostgreSQL, as the options file says: the imported file again ---
inct sed -i 's|^\(VELMARIO_SERVER_SOURCE="--postgres \)|#\1|' /etc/default/velmario-server
inct sed -n '/^# Switching to another source/,/systemctl restart velmario-server$/p' /etc/default/velmario-server |
  sed -n 's/^#   //p' >"$root/root/switch.sh"
[ "$(wc -l <"$root/root/switch.sh")" -ge 2 ] || fail "the options file shows no way back from a password drop-in"
inct sh -e /root/switch.sh >"$scratch/step.log" 2>&1 || { cat "$scratch/step.log"; fail "switching back from PostgreSQL"; }
expect_lookup 20240001 "$(printf 'Pe\xf1a Ib\xe1\xf1ez, Jos\xe9*961-555-0101')" "back on the imported file"

# --- LDAP as the options file shows it (a slapd here, without TLS) ---
mkdir -p "$root/root/ldap/data"
cat >"$root/root/ldap/slapd.conf" <<'SLAPD'
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
modulepath /usr/lib/ldap
moduleload back_mdb
pidfile /root/ldap/slapd.pid
database mdb
suffix "dc=example,dc=org"
directory /root/ldap/data
access to attrs=userPassword by anonymous auth by * none
access to * by users read by * none
SLAPD
cat >"$root/root/ldap/base.ldif" <<LDIF
dn: dc=example,dc=org
objectClass: dcObject
objectClass: organization
o: Example
dc: example

dn: ou=services,dc=example,dc=org
objectClass: organizationalUnit
ou: services

dn: cn=velmario,ou=services,dc=example,dc=org
objectClass: organizationalRole
objectClass: simpleSecurityObject
cn: velmario
userPassword: clave-ldap-correcta

dn: ou=people,dc=example,dc=org
objectClass: organizationalUnit
ou: people

dn: uid=lucia,ou=people,dc=example,dc=org
objectClass: inetOrgPerson
uid: lucia
cn:: $(printf 'Luc\xc3\xada Serrano' | base64)
sn: Serrano
employeeNumber: 20260001
telephoneNumber: 961-555-0401
LDIF
inct slapadd -q -f /root/ldap/slapd.conf -l /root/ldap/base.ldif >"$scratch/step.log" 2>&1 ||
  { cat "$scratch/step.log"; fail "slapadd"; }
# Each bind it is asked for is a line in its journal (-d stats).
inct systemd-run --unit=slapd-test --quiet /usr/sbin/slapd -d stats -f /root/ldap/slapd.conf -h ldap://127.0.0.1:3890/ ||
  fail "slapd did not start"
for _ in $(seq 50); do inct bash -c 'exec 3<>/dev/tcp/127.0.0.1/3890' 2>/dev/null && break; sleep 0.1; done
inct sed -i 's|^#\(VELMARIO_SERVER_SOURCE="--ldap ldaps://ldap.example.org \)|\1|; s|ldaps://ldap.example.org|ldap://127.0.0.1:3890|' \
  /etc/default/velmario-server
inct grep -q '^VELMARIO_SERVER_SOURCE="--ldap ldap://127.0.0.1:3890 ' /etc/default/velmario-server ||
  fail "no LDAP example in the options file"
inct sed -n '/^#   install -m 0600 \/dev\/null \/etc\/velmario-server\/ldap-password/,/systemctl restart velmario-server$/p' \
  /etc/default/velmario-server | sed 's/^#   //; s/PASSWORD/clave-ldap-correcta/' >"$root/root/password.sh"
[ "$(wc -l <"$root/root/password.sh")" -ge 5 ] || fail "the options file shows no way to give LDAP's password"
inct sh -e /root/password.sh >"$scratch/step.log" 2>&1 || { cat "$scratch/step.log"; fail "LDAP's password steps failed"; }
expect_lookup 20260001 "$(printf 'Luc\xeda Serrano*961-555-0401')" "from LDAP"

# --- A password LDAP refuses: the unit fails after at most 3 binds ---
binds_since() { # MARK (slapd -d says each operation twice: counted once)
  local said
  said=$(inct journalctl -u slapd-test --after-cursor "$1" --no-pager -o cat)
  grep -o 'conn=[0-9]* op=[0-9]* BIND dn="cn=velmario,ou=services,dc=example,dc=org"' <<<"$said" | sort -u | wc -l
}
inct sh -c 'echo otra-clave-ldap >/etc/velmario-server/ldap-password'
mark=$(mark_journal)
expect_refused_start 4 "a password LDAP refuses"
binds=$(binds_since "$mark")
[ "$binds" -ge 1 ] && [ "$binds" -le 3 ] || fail "a refused LDAP password made $binds binds, not 1 to 3"
journal_since "$mark" "Invalid credentials" err || fail "the refused LDAP password is not an error in the journal"
echo "a refused LDAP password: failed, status 4, after $binds bind(s)"
inct systemctl reset-failed velmario-server

# --- Removed, then purged, as the README says ---
inct dpkg -r velmario-server >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg -r"; }
inct test -e /usr/bin/velmario-server && fail "removing left the program"
[ "$(inct systemctl is-active velmario-server || true)" != active ] || fail "removing left the service running"
for kept in /etc/default/velmario-server /var/lib/velmario-server/directory.db /etc/velmario-server/ldap-password; do
  inct test -e "$kept" || fail "removing deleted $kept"
done
inct grep -q '^VELMARIO_SERVER_SOURCE="--ldap ' /etc/default/velmario-server || fail "removing lost the options' edits"
inct dpkg -P velmario-server >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg -P"; }
for gone in /etc/default/velmario-server /etc/velmario-server /var/lib/velmario-server /var/lib/private/velmario-server \
  /etc/systemd/system/velmario-server.service.d; do
  if inct test -e "$gone" || inct test -L "$gone"; then fail "purging left $gone"; fi
done
inct systemctl stop slapd-test

# --- The previous release installed, edited and fed, then upgraded ---
if [ ${#previous_debs[@]} -eq 2 ]; then
  inct dpkg -i "/root/previous/$(basename "${previous_debs[0]}")" "/root/previous/$(basename "${previous_debs[1]}")" \
    >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "installing the previous release"; }
  old=$(inct dpkg-query -W -f='${Version}' velmario-server)
  [ "$old" != "$release" ] || fail "the previous release is $release too"
  for _ in $(seq 50); do [ "$(ctl_show ActiveState)" = active ] && break; sleep 0.1; done
  expect_lookup 20230001 "$(printf 'Jos\xe9 Pe\xf1a Ib\xe1\xf1ez*961-976-1527')" "$old, just installed"
  # An administrator's edit of the options, and the organisation's directory.
  inct sed -i 's|^VELMARIO_SERVER_OPTIONS="|&--max-connections 500 |' /etc/default/velmario-server
  printf 'control_number,name,telephone\n20261001,Roc\xc3\xado Vidal,961-555-0501\n' >"$root/root/staff.csv"
  inct velmario-server import /root/staff.csv --db /var/lib/velmario-server/directory.db >"$scratch/step.log" 2>&1 ||
    { cat "$scratch/step.log"; fail "importing with $old"; }
  inct systemctl restart velmario-server || fail "$old did not restart on its import"
  expect_lookup 20261001 "$(printf 'Roc\xedo Vidal*961-555-0501')" "$old, on its import"

  # The upgrade, keeping the edited options as dpkg's prompt offers.
  mark=$(mark_journal)
  inct dpkg -i --force-confold "/root/debs/$(basename "$server_deb")" "/root/debs/$(basename "$client_deb")" \
    >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "upgrading from $old"; }
  for package in velmario-server velmario; do
    [ "$(inct dpkg-query -W -f='${Version}' "$package")" = "$release" ] || fail "$package is not $release after the upgrade"
  done
  inct grep -q '^VELMARIO_SERVER_OPTIONS="--max-connections 500 ' /etc/default/velmario-server ||
    fail "the upgrade lost the options' edit"
  inct test -f /etc/default/velmario-server.dpkg-dist || fail "the upgrade left no .dpkg-dist of the new options file"
  inct test -f /var/lib/velmario-server/directory.db-replies || fail "the upgrade wrote no checked copy"
  for _ in $(seq 50); do [ "$(ctl_show ActiveState)" = active ] && break; sleep 0.1; done
  [ "$(ctl_show ActiveState)" = active ] || fail "not running after the upgrade"
  grep -qF -- "--max-connections 500" <<<"$(inct cat "/proc/$(ctl_show MainPID)/cmdline" | tr '\0' ' ')" ||
    fail "the upgraded service does not run with the edited options"
  journal_since "$mark" "read from the copy checked when imported" ||
    fail "the first start after the upgrade did not start from the checked copy: $(since_mark "$mark" | tail -n 5)"
  expect_lookup 20261001 "$(printf 'Roc\xedo Vidal*961-555-0501')" "after the upgrade from $old"
  echo "upgraded from $old to $release: options, directory and lookups kept, the checked copy written"
fi

echo "installed, booted and used under systemd in $((SECONDS - started)) s"
