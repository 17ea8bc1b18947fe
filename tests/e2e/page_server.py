"""Serves the bank page from its own origin and stores what the page reports back.

    page_server.py PAGE RESULT_FILE PORT [CERTIFICATE_CHAIN KEY]

With a certificate and its key the page is served over https, as the bank serves it.
"""
import http.server
import ssl
import sys

page, result_file, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
tls = sys.argv[4:6]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = open(page, "rb").read()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        data = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with open(result_file + ".part", "wb") as f:
            f.write(data)
        import os
        os.replace(result_file + ".part", result_file)
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
if tls:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*tls)
    server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
