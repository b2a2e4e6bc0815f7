# Sourced by scripts/release.sh and scripts/test-packaging.sh: the steps that turn a
# built quellix.exe into what is published, so that the tests run the release's own.
#
#   stage_package STAGE EXE VERSION BITS      quellix.exe, README.txt, LICENSE.txt in STAGE
#   msi_product_code ARCH VERSION             the MSI product code of that package
#   make_msi STAGE ARCH VERSION MSI           the MSI of STAGE's three files (ARCH x86, x64)
#   sign_file FILE                            signs FILE in place (QUELLIX_SIGN_PKCS12)
#
# BITS is the text "32-bit" or "64-bit"; VERSION the project() version, three numbers.
packaging_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# README.txt names the MSI's product code, so that detection rules can be written from
# the package in hand.
stage_package() {
    local stage=$1 exe=$2 version=$3 bits=$4 arch=x86
    [ "$bits" = 32-bit ] || arch=x64
    mkdir -p "$stage"
    cp "$exe" "$stage/quellix.exe"
    # Text for Windows: CRLF line ends.
    sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$bits/g" \
        -e "s/@PRODUCT_CODE@/$(msi_product_code "$arch" "$version")/g" -e 's/$/\r/' \
        "$packaging_root/packaging/README-Windows.txt" >"$stage/README.txt"
    sed -e 's/$/\r/' "$packaging_root/LICENSE" >"$stage/LICENSE.txt"
    chmod 0644 "$stage/quellix.exe" "$stage/README.txt" "$stage/LICENSE.txt"
}

# One product code per version and architecture, the same in every build of it
# (a name-based GUID: the SHA-1 of the two, with the version and variant bits set).
msi_product_code() {
    local h
    h=$(printf 'Quellix MSI %s %s' "$1" "$2" | sha1sum)
    printf '%s-%s-5%s-%x%s-%s' "${h:0:8}" "${h:8:4}" "${h:13:3}" $(((0x${h:16:1} & 3) | 8)) \
        "${h:17:3}" "${h:20:12}" | tr a-f A-F
}

make_msi() {
    local stage=$1 arch=$2 version=$3 msi
    msi=$(realpath -m "$4")
    (cd "$stage" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" \
        -D ProductCode="$(msi_product_code "$arch" "$version")" -o "$msi" \
        "$packaging_root/packaging/quellix.wxs")
}

# Authenticode, SHA-256, with the PKCS#12 key and certificate QUELLIX_SIGN_PKCS12
# names; its password is in QUELLIX_SIGN_PASSWORD_FILE, if set, and the signature is
# time-stamped by the RFC 3161 server QUELLIX_SIGN_TIMESTAMP_URL, if set.
sign_file() {
    local file=$1
    local args=(sign -pkcs12 "$QUELLIX_SIGN_PKCS12" -h sha256 -n Quellix)
    [ -z "${QUELLIX_SIGN_PASSWORD_FILE:-}" ] || args+=(-readpass "$QUELLIX_SIGN_PASSWORD_FILE")
    [ -z "${QUELLIX_SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$QUELLIX_SIGN_TIMESTAMP_URL")
    osslsigncode "${args[@]}" -in "$file" -out "$file.signed" >/dev/null &&
        mv "$file.signed" "$file" || {
        rm -f "$file.signed"
        echo "signing $file failed" >&2
        return 1
    }
}
