# Argument handling shared by the scripts of this folder: sourced by them
# before they change folder, never run on its own.

# The running script's help: its leading comment, without the "# ".
print_help() {
  sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"
}

# Prints the help and exits 0 when the first argument is -h or --help.
help_if_asked() {
  case "${1:-}" in
    -h | --help)
      print_help
      exit 0
      ;;
  esac
}

# For a script that takes no argument: the help for -h or --help, status 2
# for anything else.
take_no_arguments() {
  help_if_asked "$@"
  if [ -n "${1:-}" ]; then
    echo "$(basename "$0"): unknown argument $1 (see --help)" >&2
    exit 2
  fi
}
