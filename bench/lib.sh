# Shared by the benchmark scripts (sourced): installing Debian packages and
# taking the median of numbers read one a line.

# Installs the named Debian packages (as root, or through sudo).
install_debian() {
  local sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "$@"
}

# The median of the numbers on standard input.
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
