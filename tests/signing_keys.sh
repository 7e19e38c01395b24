# shellcheck shell=bash
# Throwaway signing material for tests/release_test.sh, made at run time
# (sourced). FWU_SIGN_SECRET is the PKCS#12 password and the token's PINs.
#
# make_signing_keys DIR makes in DIR, all RSA:
#   ca.pem                the test CA; tsa.cnf an openssl ts responder of it
#   sign.p12, sign.pem    a code-signing key and its certificate; the key also
#                         as "fwu-sign" on a SoftHSM2 token "fwu-test" of DIR's
#                         own (SOFTHSM2_CONF is exported)
#   plain.pem, expired.pem  certificates of that key: without the code-signing
#                         purpose, and expired
#   other.key, other.pem  a code-signing key and certificate of another CA
# start_tsa DIR: that responder on 127.0.0.1 at an ephemeral port, tsa_url and
# tsa_pid set; a request to .../error is answered with HTTP 500.
softhsm_module=/usr/lib/softhsm/libsofthsm2.so

# DIR NAME KEY SUBJECT CA EXTENSIONS [DAYS]: DIR/NAME.pem for DIR/KEY.key (made
# when new), issued by DIR/CA (self-signed when CA is NAME).
issue()
{
    local d=$1 ca=(-CA "$1/$5.pem" -CAkey "$1/$5.key")
    [ -f "$d/$3.key" ] || openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$d/$3.key" 2>/dev/null
    [ "$5" = "$2" ] && ca=(-signkey "$d/$3.key")
    openssl req -new -key "$d/$3.key" -subj "$4" | openssl x509 -req "${ca[@]}" -days "${7:-2}" -out "$d/$2.pem" \
        -extfile <(printf '%s\n' "$6" | tr ';' '\n') 2>/dev/null
}

make_signing_keys()
{
    local d=$1 code='keyUsage=critical,digitalSignature;extendedKeyUsage=codeSigning'
    issue "$d" ca ca "/CN=fwu test CA" ca 'basicConstraints=critical,CA:TRUE;keyUsage=critical,keyCertSign'
    issue "$d" other-ca other-ca "/CN=fwu other CA" other-ca 'basicConstraints=critical,CA:TRUE'
    issue "$d" sign sign "/O=fwu test/CN=fwu test signer" ca "$code"
    issue "$d" plain sign "/CN=fwu test signer" ca 'keyUsage=critical,digitalSignature'
    issue "$d" expired sign "/CN=fwu test signer" ca "$code" -1
    issue "$d" other other "/CN=fwu test signer" other-ca "$code"
    issue "$d" tsa tsa "/CN=fwu test TSA" ca 'keyUsage=critical,digitalSignature;extendedKeyUsage=critical,timeStamping'
    openssl pkcs12 -export -inkey "$d/sign.key" -in "$d/sign.pem" -passout env:FWU_SIGN_SECRET -out "$d/sign.p12"
    printf '[tsa]\ndefault_tsa=t\n[t]\nserial=%s\nsigner_cert=%s\nsigner_key=%s\nsigner_digest=sha256\n%s\n' \
        "$d/tsa.serial" "$d/tsa.pem" "$d/tsa.key" 'default_policy=1.2.3.4
digests=sha256,sha1
ess_cert_id_alg=sha256' >"$d/tsa.cnf"
    mkdir "$d/tokens" && printf 'directories.tokendir = %s\n' "$d/tokens" >"$d/softhsm2.conf"
    export SOFTHSM2_CONF=$d/softhsm2.conf
    local pins=(env GNUTLS_PIN="$FWU_SIGN_SECRET" GNUTLS_SO_PIN="$FWU_SIGN_SECRET" p11tool --provider "$softhsm_module")
    "${pins[@]}" --initialize --label fwu-test "pkcs11:model=SoftHSM%20v2" &&
        "${pins[@]}" --initialize-pin "pkcs11:token=fwu-test" &&
        "${pins[@]}" --login --write --load-privkey "$d/sign.key" --label fwu-sign --id 01 "pkcs11:token=fwu-test"
}

start_tsa()
{
    exec {tsa_fd}< <(exec python3 - "$1/tsa.cnf" <<'EOF'
import ctypes, http.server, subprocess, sys
ctypes.CDLL(None).prctl(1, 15)  # ends with the test: PR_SET_PDEATHSIG, SIGTERM
class Responder(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers['Content-Length']))
        reply = b'no timestamp\n' if self.path == '/error' else subprocess.run(
            ['openssl', 'ts', '-reply', '-config', sys.argv[1], '-queryfile', '/dev/stdin', '-out', '/dev/stdout'],
            input=query, capture_output=True).stdout
        self.send_response(500 if self.path == '/error' else 200)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *_):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Responder)
server.handle_error = lambda *_: None  # a client that hangs up on the error answer
print(server.server_port, flush=True)
server.serve_forever()
EOF
)
    tsa_pid=$!
    local port
    read -r -u "$tsa_fd" port && tsa_url=http://127.0.0.1:$port/
}
