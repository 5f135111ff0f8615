<?php
// Adds a user of the upload script, or changes a user's password, on the command line:
//   php adduser.php LOGIN                       asks for the password (or reads it from a pipe)
//   php adduser.php --config PATH/config.php LOGIN
// The login is what the guild member types into Rostrel Uploader, letter case included.

declare(strict_types=1);

if (PHP_SAPI !== 'cli') {
    http_response_code(404);
    exit;
}
$arguments = array_slice($argv, 1);
$configFile = __DIR__ . '/public/config.php';
if (($arguments[0] ?? '') === '--config' && count($arguments) === 3) {
    $configFile = $arguments[1];
    $arguments = [$arguments[2]];
}
if (count($arguments) !== 1 || $arguments[0] === '' || preg_match('/[\x00-\x1f\x7f]/', $arguments[0])) {
    fwrite(STDERR, "Usage: php adduser.php [--config PATH/config.php] LOGIN\n");
    exit(2);
}
$login = $arguments[0];
$config = require $configFile;

$typed = stream_isatty(STDIN);
if ($typed) {
    fwrite(STDERR, "Password for $login: ");
    shell_exec('stty -echo');
}
$password = rtrim((string) fgets(STDIN), "\r\n");
if ($typed) {
    shell_exec('stty echo');
    fwrite(STDERR, "\n");
}
if ($password === '') {
    fwrite(STDERR, "No password given; nothing changed.\n");
    exit(1);
}

$file = $config['users_file'];
$users = is_file($file) ? json_decode((string) file_get_contents($file), true) : [];
if (!is_array($users)) {
    fwrite(STDERR, "$file is not a users file; nothing changed.\n");
    exit(1);
}
$known = isset($users[$login]);
$users[$login] = password_hash($password, PASSWORD_DEFAULT);
// Written whole or not at all: the upload script may read it at any moment.
$temporary = $file . '.' . bin2hex(random_bytes(4)) . '.part';
if (!is_dir(dirname($file)) && !mkdir(dirname($file), 0750, true)
    || file_put_contents($temporary, json_encode($users, JSON_PRETTY_PRINT | JSON_UNESCAPED_UNICODE | JSON_THROW_ON_ERROR) . "\n") === false
    || !chmod($temporary, 0640) || !rename($temporary, $file)) {
    @unlink($temporary);
    fwrite(STDERR, "Cannot write $file; nothing changed.\n");
    exit(1);
}
echo ($known ? 'Changed the password of ' : 'Added ') . $login . "\n";
