# shellcheck shell=bash
# Throwaway RSA keys for tests/release_test.sh; FWU_SIGN_SECRET is the PKCS#12
# password and the token's PINs. make_signing_keys DIR: ca.pem and what it
# issues: sign.pem for code signing (sign.p12; its key as fwu-sign on a SoftHSM2
# token fwu-test of DIR's own), plain.pem and expired.pem of that key (no code
# signing; expired), tsa.pem; other.pem and other.key of another CA. start_tsa
# DIR: an RFC 3161 responder on 127.0.0.1 (tsa_url, tsa_pid); .../error: HTTP 500.
softhsm_module=/usr/lib/softhsm/libsofthsm2.so

issue()  # DIR NAME KEY SUBJECT CA EXTENSIONS [DAYS]: NAME.pem of KEY.key (made when new), issued by CA
{
    local ca=(-CA "$1/$5.pem" -CAkey "$1/$5.key")
    [ "$5" != "$2" ] || ca=(-signkey "$1/$3.key")
    [ -f "$1/$3.key" ] || openssl genpkey -algorithm RSA -out "$1/$3.key" 2>/dev/null
    openssl req -new -key "$1/$3.key" -subj "$4" | openssl x509 -req "${ca[@]}" -days "${7:-2}" -out "$1/$2.pem" \
        -extfile <(tr ';' '\n' <<<"$6") 2>/dev/null
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
    printf '[tsa];default_tsa=t;[t];serial=%s/tsa.serial;signer_cert=%s/tsa.pem;signer_key=%s/tsa.key;%s\n' "$d" "$d" "$d" \
        'signer_digest=sha256;default_policy=1.2.3.4;digests=sha256;ess_cert_id_alg=sha256' | tr ';' '\n' >"$d/tsa.cnf"
    mkdir "$d/tokens" && echo "directories.tokendir = $d/tokens" >"$d/softhsm2.conf"
    export SOFTHSM2_CONF=$d/softhsm2.conf
    local p11=(env GNUTLS_PIN="$FWU_SIGN_SECRET" GNUTLS_SO_PIN="$FWU_SIGN_SECRET" p11tool --provider "$softhsm_module")
    "${p11[@]}" --initialize --label fwu-test "pkcs11:model=SoftHSM%20v2" && "${p11[@]}" --initialize-pin "pkcs11:token=fwu-test" &&
        "${p11[@]}" --login --write --load-privkey "$d/sign.key" --label fwu-sign --id 01 "pkcs11:token=fwu-test"
}

start_tsa()
{
    exec {tsa_fd}< <(exec python3 - "$1/tsa.cnf" <<'EOF'
import ctypes, http.server, subprocess, sys
ctypes.CDLL(None).prctl(1, 15)  # PR_SET_PDEATHSIG: it ends with the test
class Responder(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query, error = self.rfile.read(int(self.headers['Content-Length'])), self.path == '/error'
        reply = b'' if error else subprocess.run(['openssl', 'ts', '-reply', '-config', sys.argv[1], '-queryfile',
                                                  '/dev/stdin', '-out', '/dev/stdout'], input=query, capture_output=True).stdout
        self.send_response(500 if error else 200)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    log_message = lambda *_: None
server = http.server.HTTPServer(('127.0.0.1', 0), Responder)
server.handle_error = lambda *_: None  # a client that hangs up on the error answer
print(server.server_port, flush=True)
server.serve_forever()
EOF
)
    tsa_pid=$! && read -r -u "$tsa_fd" tsa_port && tsa_url=http://127.0.0.1:$tsa_port/
}
