# Helpers shared by the CI step scripts; sourced, not run.

# Installs the Debian packages named whose status is not "installed",
# refreshing the package lists first only when something is missing.
apt_need() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# At most two compile jobs: the machines this runs on have two cores.
build_jobs() {
  local n
  n=$(nproc)
  [ "$n" -gt 2 ] && n=2
  echo "$n"
}
