# Sourced by the stage runners (stages.sh, ci-hardening.sh): CPU time next to
# wall time, because wall time says little on a shared machine and CPU time
# says what a stage costs.
#   cpu_now          the user + system seconds of this shell's finished
#                    children (and theirs) into $cpu
#   cpu_since C0     the whole seconds since a $cpu of C0 into $cpu_used
# Call both directly, never inside $(...): `times` counts the children of the
# shell it runs in. Each shell (a stage run in the background too) writes its
# own file.
cpu_now() {
  local file="${TMPDIR:-/tmp}/cpu-time.$BASHPID"
  times >"$file"
  cpu=$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); print u[1] * 60 + u[2] + s[1] * 60 + s[2] }' \
    "$file")
  rm -f "$file"
}

cpu_since() {
  cpu_now
  cpu_used=$(awk "BEGIN { printf \"%.0f\", $cpu - $1 }")
}
