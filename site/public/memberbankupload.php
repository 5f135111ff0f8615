<?php
// The guild site's upload script for Rostrel Uploader. The program posts a multipart form with the
// fields "login", "password" (both escaped: "%XX" is a byte, "+" a tab) and the file "thefile", and
// knows two answers: "Inventory Uploaded" and "Invalid Login/Password".

declare(strict_types=1);

const ACCEPTED = 'Inventory Uploaded';
const REJECTED = 'Invalid Login/Password';
// Checked when the login is unknown, so that an unknown login takes as long as a wrong password.
const DUMMY_HASH = '$2y$10$bRcye3jEfHYl7k7McPUIz.2U/tNh9VTzzbJAh.XTu2ExWVUc7DuHa';

function answer(int $status, string $text, array $headers = []): never
{
    http_response_code($status);
    header('Content-Type: text/plain; charset=utf-8');
    header('Cache-Control: no-store');
    foreach ($headers as $header) {
        header($header);
    }
    echo $text;
    exit;
}

// One log line per event, whatever the client sent: anything but printable ASCII is escaped.
function log_line(array $config, string $event, string $login = ''): void
{
    $escape = fn (string $text): string => preg_replace_callback(
        '/[^\x20-\x5b\x5d-\x7e]/',
        fn (array $m): string => sprintf('\\x%02x', ord($m[0])),
        $text
    );
    $line = gmdate('Y-m-d\TH:i:s\Z') . ' ' . $escape($_SERVER['REMOTE_ADDR'] ?? '-') . ' ' . $event
        . ($login === '' ? '' : ' "' . $escape($login) . '"') . "\n";
    file_put_contents($config['data_dir'] . '/upload.log', $line, FILE_APPEND | LOCK_EX);
}

// The program's escaping undone: "+" stands for a tab, "%XX" for a byte.
function form_field(mixed $value): ?string
{
    return is_string($value) ? rawurldecode(str_replace('+', "\t", $value)) : null;
}

// A folder name of letters, digits, "-" and "_", with a hash when the login had other characters,
// so that two logins never share a folder.
function login_folder(string $login): string
{
    $name = substr(preg_replace('/[^A-Za-z0-9_-]/', '_', $login), 0, 64);
    return ($name === $login && $name !== '') ? $name : $name . '-' . substr(sha1($login), 0, 8);
}

// Failed logins per address (an IPv6 address by its /64 network), in one small file each.
function failure_file(array $config): string
{
    $address = @inet_pton($_SERVER['REMOTE_ADDR'] ?? '') ?: '';
    $dir = $config['data_dir'] . '/failures';
    if (!is_dir($dir)) {
        @mkdir($dir, 0700, true);
    }
    return $dir . '/' . sha1(strlen($address) === 16 ? substr($address, 0, 8) : $address);
}

function seconds_to_wait(array $record, array $config, int $now): int
{
    $over = $record['count'] - $config['free_failures'];
    return $over < 0 ? 0 : max(0, $record['last'] + min(900, 30 << min($over, 5)) - $now);
}

function read_failures(string $file, int $now): array
{
    $record = json_decode((string) @file_get_contents($file), true);
    if (!is_array($record) || !is_int($record['count'] ?? null) || !is_int($record['last'] ?? null)
        || $now - $record['last'] > 3600) {
        return ['count' => 0, 'last' => 0];
    }
    return $record;
}

function count_failure(string $file, int $now): void
{
    $handle = fopen($file, 'c+');
    if ($handle === false || !flock($handle, LOCK_EX)) {
        return;
    }
    $record = read_failures($file, $now);
    ftruncate($handle, 0);
    fwrite($handle, json_encode(['count' => $record['count'] + 1, 'last' => $now]));
    fclose($handle);
    // Now and then, the records of addresses that have been quiet for an hour go.
    if (random_int(0, 99) === 0) {
        foreach (glob(dirname($file) . '/*') ?: [] as $old) {
            if (@filemtime($old) < $now - 3600) {
                @unlink($old);
            }
        }
    }
}

// Stores the profile under a name of its time, through a temporary file and a rename, and keeps
// the newest few of the login.
function store_profile(array $config, string $login, string $uploaded): bool
{
    $dir = $config['data_dir'] . '/profiles/' . login_folder($login);
    if (!is_dir($dir) && !@mkdir($dir, 0700, true) && !is_dir($dir)) {
        return false;
    }
    [$micro, $seconds] = explode(' ', microtime());
    $name = gmdate('Ymd-His', (int) $seconds) . sprintf('-%06d-', (int) ($micro * 1e6))
        . bin2hex(random_bytes(4)) . '.lua';
    $temporary = $dir . '/.' . $name . '.part';
    if (!move_uploaded_file($uploaded, $temporary) || !rename($temporary, $dir . '/' . $name)) {
        @unlink($temporary);
        return false;
    }
    $stored = glob($dir . '/*.lua') ?: [];
    sort($stored);
    foreach (array_slice($stored, 0, max(0, count($stored) - $config['keep'])) as $old) {
        @unlink($old);
    }
    return true;
}

$config = require __DIR__ . '/config.php';
if (!is_dir($config['data_dir'])) {
    @mkdir($config['data_dir'], 0700, true);
}
if (($_SERVER['REQUEST_METHOD'] ?? '') !== 'POST') {
    answer(405, 'Uploads are POSTed.', ['Allow: POST']);
}
if ((int) ($_SERVER['CONTENT_LENGTH'] ?? 0) > $config['max_bytes']) {
    log_line($config, 'refused an oversize upload');
    answer(413, 'The upload is larger than this site accepts.');
}
$file = $_FILES['thefile'] ?? null;
$login = form_field($_POST['login'] ?? null);
$password = form_field($_POST['password'] ?? null);
if ($login === null || $password === null || !is_array($file) || !is_string($file['tmp_name'] ?? null)) {
    answer(400, 'Not an upload from Rostrel Uploader.');
}
if ($file['error'] === UPLOAD_ERR_INI_SIZE || $file['error'] === UPLOAD_ERR_FORM_SIZE) {
    answer(413, 'The upload is larger than this site accepts.');
}
if ($file['error'] !== UPLOAD_ERR_OK || !is_uploaded_file($file['tmp_name'])) {
    answer(400, 'The profile did not arrive whole.');
}

$now = time();
$failures = failure_file($config);
$wait = seconds_to_wait(read_failures($failures, $now), $config, $now);
if ($wait > 0) {
    log_line($config, 'refused a login while throttled', $login);
    answer(429, "Too many failed logins from your address; try again in $wait seconds.", ["Retry-After: $wait"]);
}
$users = json_decode((string) @file_get_contents($config['users_file']), true);
if (!is_array($users)) {
    log_line($config, 'cannot read the users file');
    answer(500, 'The site cannot read its users file.');
}
$hash = $users[$login] ?? null;
$valid = password_verify($password, is_string($hash) ? $hash : DUMMY_HASH);
if (!$valid || !is_string($hash)) {
    count_failure($failures, $now);
    log_line($config, 'rejected login', $login);
    answer(200, REJECTED);
}
if (!store_profile($config, $login, $file['tmp_name'])) {
    log_line($config, 'could not store a profile of', $login);
    answer(500, 'The site could not store the profile.');
}
log_line($config, 'stored ' . $file['size'] . ' bytes of', $login);
answer(200, ACCEPTED);
