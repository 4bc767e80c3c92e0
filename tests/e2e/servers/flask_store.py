"""Flask storing request.files["file"] under its filename for the real-server upload
tests; below /auth/ only for the Basic credentials branch12:secret, checked before the
body is read. Writes its port to the port file once it listens.

    flask_store.py STORE_FOLDER PORT_FILE
"""
import os
import sys

from flask import Flask, request
from werkzeug.serving import make_server

app = Flask(__name__)
store = sys.argv[1]


def save():
    request.files["file"].save(os.path.join(store, request.files["file"].filename))
    return "stored\n"


@app.post("/auth/<path:rest>")
def save_with_credentials(rest):
    given = request.authorization
    if not given or given.username != "branch12" or given.password != "secret":
        return "no\n", 401, {"WWW-Authenticate": 'Basic realm="store"'}
    return save()


@app.post("/<path:rest>")
def save_anywhere(rest):
    return save()


server = make_server("127.0.0.1", 0, app, threaded=True)
with open(sys.argv[2] + ".tmp", "w") as out:
    out.write(str(server.port))
os.replace(sys.argv[2] + ".tmp", sys.argv[2])
server.serve_forever()
