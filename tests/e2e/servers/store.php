<?php
// Stores the uploaded part "file" under the name PHP gives it, in the folder nginx names;
// with QB_CREDENTIALS set, only for those Basic credentials.
$credentials = $_SERVER['QB_CREDENTIALS'] ?? '';
if ($credentials !== '') {
  $given = ($_SERVER['PHP_AUTH_USER'] ?? '') . ':' . ($_SERVER['PHP_AUTH_PW'] ?? '');
  if (!isset($_SERVER['PHP_AUTH_USER']) || $given !== $credentials) {
    header('WWW-Authenticate: Basic realm="store"');
    http_response_code(401);
    exit;
  }
}
$file = $_FILES['file'] ?? null;
if ($file === null || $file['error'] !== UPLOAD_ERR_OK) {
  http_response_code(400);
  exit;
}
if (!move_uploaded_file($file['tmp_name'], $_SERVER['QB_STORE'] . '/' . $file['name'])) {
  http_response_code(500);
  exit;
}
// ?answer=echo: a plain echo, as most receivers answer; ?answer=big: 100 KiB of it, past
// the program's answer limit. nginx cannot tell their length: it chunks them for an
// HTTP/1.1 request and closes the connection after them for an HTTP/1.0 one.
$kind = $_GET['answer'] ?? '';
if ($kind === 'echo') {
  echo "ok\n";
  exit;
}
if ($kind === 'big') {
  echo str_repeat("ok\n", 100 * 1024 / 3);
  exit;
}
// With its length given, nginx keeps the connection of an HTTP/1.0 request that asks for
// it; an answer of unknown length it can only end by closing (no chunks in HTTP/1.0).
$answer = "stored\n";
header('Content-Length: ' . strlen($answer));
echo $answer;
