<?php
// Adds a user of the upload script, changes a user's password or removes a user, on the command line:
//   php adduser.php LOGIN                       asks for the password (or reads it from a pipe)
//   php adduser.php --remove LOGIN
//   php adduser.php --config PATH/config.php [--remove] LOGIN
// The login is what the guild member types into Rostrel Uploader, letter case included.

declare(strict_types=1);

if (PHP_SAPI !== 'cli') {
    http_response_code(404);
    exit;
}
$arguments = array_slice($argv, 1);
$configFile = __DIR__ . '/public/config.php';
if (($arguments[0] ?? '') === '--config' && count($arguments) >= 3) {
    $configFile = $arguments[1];
    $arguments = array_slice($arguments, 2);
}
$remove = ($arguments[0] ?? '') === '--remove';
if ($remove) {
    array_shift($arguments);
}
if (count($arguments) !== 1 || $arguments[0] === '' || preg_match('/[\x00-\x1f\x7f]/', $arguments[0])) {
    fwrite(STDERR, "Usage: php adduser.php [--config PATH/config.php] [--remove] LOGIN\n");
    exit(2);
}
$login = $arguments[0];
if (!preg_match('//u', $login)) {
    fwrite(STDERR, "The login is not UTF-8 text (the program sends logins as UTF-8); nothing changed.\n");
    exit(2);
}
$config = require $configFile;
$file = $config['users_file'];
$users = is_file($file) ? json_decode((string) file_get_contents($file), true) : [];
if (!is_array($users)) {
    fwrite(STDERR, "$file is not a users file; nothing changed.\n");
    exit(1);
}
$known = isset($users[$login]);
if ($remove && !$known) {
    fwrite(STDERR, "$login is not a user; nothing changed.\n");
    exit(1);
}

$typed = !$remove && stream_isatty(STDIN);
if ($typed) {
    fwrite(STDERR, "Password for $login: ");
    shell_exec('stty -echo');
}
$password = $remove ? '' : rtrim((string) fgets(STDIN), "\r\n");
if ($typed) {
    shell_exec('stty echo');
    fwrite(STDERR, "\n");
}
if ($password === '' && !$remove) {
    fwrite(STDERR, "No password given; nothing changed.\n");
    exit(1);
}

if ($remove) {
    unset($users[$login]);
} else {
    $users[$login] = password_hash($password, PASSWORD_DEFAULT);
}
// Written whole or not at all, since the upload script may read it at any moment; with the owner,
// group and mode the file had (an officer running this as root must not lock PHP out of it), and a
// new file readable by the folder's group, to which the web server's PHP user belongs.
$folder = dirname($file);
$old = @stat($file);
$temporary = $folder . '/.' . basename($file) . '.' . bin2hex(random_bytes(4)) . '.part';
$made = (is_dir($folder) || mkdir($folder, 0750, true))
    && file_put_contents($temporary, json_encode($users, JSON_PRETTY_PRINT | JSON_UNESCAPED_UNICODE | JSON_THROW_ON_ERROR) . "\n") !== false;
$written = $made ? stat($temporary) : false;
$gid = $old !== false ? $old['gid'] : stat($folder)['gid'];
if ($written === false || !chmod($temporary, $old !== false ? $old['mode'] & 07777 : 0640)
    || ($old !== false && $old['uid'] !== $written['uid'] && !@chown($temporary, $old['uid']))
    || ($gid !== $written['gid'] && !@chgrp($temporary, $gid)) || !rename($temporary, $file)) {
    @unlink($temporary);
    fwrite(STDERR, "Cannot write $file with its owner, group and mode; nothing changed.\n");
    exit(1);
}
echo ($remove ? 'Removed ' : ($known ? 'Changed the password of ' : 'Added ')) . $login . "\n";
