<?php
// Hands back what PHP's own form parser made of an upload: the form's type, the profile header,
// the login and password, then the bytes of the file.
$file = $_FILES['thefile']['tmp_name'] ?? '';
echo ($_SERVER['CONTENT_TYPE'] ?? ''), "\n", ($_SERVER['HTTP_X_ROSTREL_PROFILE'] ?? ''), "\n",
    ($_POST['login'] ?? ''), "\n", ($_POST['password'] ?? ''), "\n", $file === '' ? '' : file_get_contents($file);
