#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, saying which ones it installs. wixl, gcab and
# the GObject bindings of libgsf make the real Installer products and patches of the engine tests; the packing
# tool reads patches' summary information through libgsf on Linux, and compares file names with ICU's case
# mapping, as Windows does; openssl and osslsigncode sign a packed updater as a release is signed.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest python3
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
          wixl msitools gcab python3-gi gir1.2-gsf-1 libgsf-1-dev pkg-config libicu-dev openssl osslsigncode)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
echo "Installed: ${missing[*]}"
