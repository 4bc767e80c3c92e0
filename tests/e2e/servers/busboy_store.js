// Node with busboy storing the part "file" under the file name busboy gives it, for the
// real-server upload tests; below /auth/ only for the Basic credentials branch12:secret,
// checked before the body is read. Below /utf8/ busboy reads quoted names as UTF-8, as
// browsers send them (defParamCharset); elsewhere as it does by default, as Latin-1
// unless "filename*" is given. Writes its port to the port file once it listens.
//
//     node busboy_store.js STORE_FOLDER PORT_FILE
"use strict";
const fs = require("fs");
const http = require("http");
const path = require("path");
let busboy;
try {
  busboy = require("busboy");
} catch (error) {
  busboy = require("/usr/share/nodejs/busboy");  // where Debian's node-busboy lives
}

const [store, portFile] = process.argv.slice(2);
const expected = "Basic " + Buffer.from("branch12:secret").toString("base64");

const server = http.createServer((request, response) => {
  if (request.url.startsWith("/auth/") && request.headers.authorization !== expected) {
    response.writeHead(401, { "WWW-Authenticate": 'Basic realm="store"', Connection: "close" });
    response.end("no\n");
    request.destroy();
    return;
  }
  const defParamCharset = request.url.startsWith("/utf8/") ? "utf8" : undefined;
  const parser = busboy({ headers: request.headers, defParamCharset });
  const writes = [];
  parser.on("file", (field, stream, info) => {
    const target = fs.createWriteStream(path.join(store, info.filename));
    writes.push(new Promise((resolve, reject) => target.on("finish", resolve).on("error", reject)));
    stream.pipe(target);
  });
  parser.on("close", () => {
    Promise.all(writes).then(
      () => response.end("stored\n"),
      () => { response.statusCode = 500; response.end("not stored\n"); });
  });
  parser.on("error", () => { response.statusCode = 400; response.end("bad body\n"); });
  request.pipe(parser);
});
server.listen(0, "127.0.0.1", () => {
  fs.writeFileSync(portFile + ".tmp", String(server.address().port));
  fs.renameSync(portFile + ".tmp", portFile);
});
