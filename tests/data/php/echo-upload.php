<?php
// Hands back the bytes of the file that PHP's own form parser made of an upload.
$file = $_FILES['thefile']['tmp_name'] ?? '';
echo $file === '' ? '' : file_get_contents($file);
