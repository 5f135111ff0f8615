<?php
// Hands back what PHP's own form parser made of an upload: the login and password as headers, the
// file's bytes as the body.
header('Content-Type: application/octet-stream');
header('X-Login: ' . rawurlencode($_POST['login'] ?? ''));
header('X-Password: ' . rawurlencode($_POST['password'] ?? ''));
$file = $_FILES['thefile']['tmp_name'] ?? '';
echo $file === '' ? '' : file_get_contents($file);
