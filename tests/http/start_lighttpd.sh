#!/bin/sh
# Starts lighttpd on ADDRESS:80 for the HTTP client's tests against a live server (the Windows
# build's tests under Wine read the address from QXNET_HTTP_LIVE_SERVER):
#   /big.bin             3145733 bytes, byte i = (i * 131 + 7) mod 256
#   /index.html          "<html>lighttpd index</html>" and a line feed
#   /private/secret.txt  "the secret page" and a line feed, Basic credentials viewer / pa55word
#   /cafe.txt            "café ok" in UTF-8
#   /moved.cgi           302 to http://ADDRESS+1/private/secret.txt with the body "moved"
#   /headers.cgi         the request's headers as CGI gives them (HTTP_NAME=value), sorted
#   /short.cgi           announces 100 bytes, sends 50, ends
#   /trickle.cgi         30 bytes, one a second
# The same content answers on the next address (the last number one higher), the target of
# the redirect.
# Prints "PID DIRECTORY"; stop it with kill PID and remove the directory.
# Usage: tests/http/start_lighttpd.sh ADDRESS   (as root: lighttpd binds port 80, then serves
# as www-data)
set -eu
address=$1
dir=$(mktemp -d /tmp/qxhttp-live-XXXXXX)
mkdir -p "$dir/www/private"
next=${address%.*}.$((${address##*.} + 1))
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 131 + 7) % 256 for i in range(3145733)))' \
  > "$dir/www/big.bin"
printf '<html>lighttpd index</html>\n' > "$dir/www/index.html"
printf 'the secret page\n' > "$dir/www/private/secret.txt"
printf 'viewer:pa55word\n' > "$dir/users"
printf 'caf\303\251 ok' > "$dir/www/cafe.txt"
cat > "$dir/www/moved.cgi" <<CGI
printf 'Status: 302\r\nLocation: http://$next/private/secret.txt\r\nContent-Type: text/plain\r\n\r\nmoved\n'
CGI
cat > "$dir/www/headers.cgi" <<'CGI'
printf 'Content-Type: text/plain\r\n\r\n'
env | grep '^HTTP_' | LC_ALL=C sort
CGI
cat > "$dir/www/short.cgi" <<'CGI'
printf 'Content-Type: application/octet-stream\r\nContent-Length: 100\r\nConnection: close\r\n\r\n'
printf '%050d' 0
CGI
cat > "$dir/www/trickle.cgi" <<'CGI'
printf 'Content-Type: application/octet-stream\r\n\r\n'
for i in $(seq 30); do printf x; sleep 1; done
CGI
cat > "$dir/lighttpd.conf" <<CONF
server.modules = ("mod_auth", "mod_authn_file", "mod_cgi")
server.document-root = "$dir/www"
server.bind = "$address"
server.port = 80
\$SERVER["socket"] == "$next:80" { }
server.stream-response-body = 2
cgi.assign = (".cgi" => "/bin/sh")
server.username = "www-data"
server.groupname = "www-data"
server.errorlog = "$dir/error.log"
mimetype.assign = ("" => "application/octet-stream")
index-file.names = ("index.html")
auth.backend = "plain"
auth.backend.plain.userfile = "$dir/users"
auth.require = ("/private/" => ("method" => "basic", "realm" => "cam", "require" => "valid-user"))
CONF
chmod -R a+rX "$dir"
touch "$dir/error.log"
chown www-data:www-data "$dir/error.log"
lighttpd -D -f "$dir/lighttpd.conf" >/dev/null 2>&1 &
pid=$!
# Ready once the port answers (at most five seconds).
i=0
while [ $i -lt 100 ] && ! curl -s --noproxy '*' -o /dev/null "http://$address/index.html"; do
  sleep 0.05
  i=$((i + 1))
done
echo "$pid $dir"
