<?php
// The guild site's upload script for Rostrel Uploader. The program posts a multipart form with the
// fields "login", "password" (both escaped: "%XX" is a byte, "+" a tab) and the file "thefile", and
// knows two answers: "Inventory Uploaded" and "Invalid Login/Password". Newer programs name the
// profile in the header X-Rostrel-Profile ("FLAVOUR/REALM/CHARACTER" or "FLAVOUR/account-HASH").
//
// The script faces the internet: whatever a client without an account sends, it writes one short
// log line at most, and only a fixed number of them per address and hour.

declare(strict_types=1);

const ACCEPTED = 'Inventory Uploaded';
const REJECTED = 'Invalid Login/Password';
// Checked when there are no users yet, so that an unknown login still costs a hash check.
const PLACEHOLDER_HASH = '$2y$10$bRcye3jEfHYl7k7McPUIz.2U/tNh9VTzzbJAh.XTu2ExWVUc7DuHa';
// How much of a login or profile name a log line shows.
const SHOWN_BYTES = 64;

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

// Anything but printable ASCII, and the quote and backslash that delimit fields, as \xNN: a client
// can neither break a line nor forge a field inside one.
function escape(string $text): string
{
    return preg_replace_callback(
        '/[^\x20\x21\x23-\x5b\x5d-\x7e]/',
        fn (array $m): string => sprintf('\\x%02x', ord($m[0])),
        $text
    );
}

// A client's text for the log, cut to a bounded length with the length it had.
function quoted(string $text): string
{
    $cut = strlen($text) > SHOWN_BYTES ? ' (cut from ' . strlen($text) . ' bytes)' : '';
    return '"' . escape(substr($text, 0, SHOWN_BYTES)) . '"' . $cut;
}

// Appends a line to upload.log; at log_bytes the log becomes upload.log.1, replacing the older one.
function log_line(array $config, string $client, string $event): void
{
    $path = $config['data_dir'] . '/upload.log';
    $handle = @fopen($path, 'a');
    if ($handle === false || !flock($handle, LOCK_EX)) {
        return;
    }
    clearstatcache();
    $open = fstat($handle);
    $named = @stat($path);
    // Whoever waited for the lock while another rotated writes into the rotated file instead.
    if ($open['size'] >= $config['log_bytes'] && $named !== false && $named['ino'] === $open['ino']) {
        @rename($path, $path . '.1');
    }
    @fwrite($handle, gmdate('Y-m-d\TH:i:s\Z') . ' ' . escape($client) . ' ' . $event . "\n");
    fclose($handle);
}

// The program's escaping undone: "+" stands for a tab, "%XX" for a byte.
function form_field(mixed $value): ?string
{
    return is_string($value) ? rawurldecode(str_replace('+', "\t", $value)) : null;
}

// A file name part of letters, digits, "-" and "_", with a hash when the text had other
// characters, so that two texts never share a name.
function safe_name(string $text): string
{
    $name = substr(preg_replace('/[^A-Za-z0-9_-]/', '_', $text), 0, 64);
    return ($name === $text && $name !== '') ? $name : $name . '-' . substr(sha1($text), 0, 8);
}

// An address as bytes, an IPv4-mapped IPv6 address (a dual-stack listener's IPv4 client) as its
// IPv4 address; '' when it is no address.
function packed_address(string $address): string
{
    $bytes = @inet_pton(trim($address));
    if ($bytes === false) {
        return '';
    }
    return str_starts_with($bytes, str_repeat("\0", 10) . "\xff\xff") ? substr($bytes, 12) : $bytes;
}

function in_networks(string $address, array $networks): bool
{
    $bytes = packed_address($address);
    foreach ($networks as $network) {
        [$base, $bits] = array_pad(explode('/', (string) $network, 2), 2, null);
        $prefix = packed_address($base);
        if ($bytes === '' || strlen($prefix) !== strlen($bytes)) {
            continue;
        }
        $bits = $bits === null ? 8 * strlen($prefix) : (int) $bits;
        $whole = intdiv($bits, 8);
        $rest = $bits % 8;
        if (substr($bytes, 0, $whole) === substr($prefix, 0, $whole)
            && ($rest === 0 || ((ord($bytes[$whole]) ^ ord($prefix[$whole])) >> (8 - $rest)) === 0)) {
            return true;
        }
    }
    return false;
}

// An address as a proxy writes it in X-Forwarded-For, without the port some add ("10.0.0.5:4444",
// "[2001:db8::1]:4444").
function forwarded_address(string $entry): string
{
    $entry = trim($entry);
    if (preg_match('/^\[([^\]]*)\](:\d+)?$/', $entry, $m) || preg_match('/^([0-9.]+):\d+$/', $entry, $m)) {
        return $m[1];
    }
    return $entry;
}

// The client's address: the connecting one, unless that is a trusted proxy; then the nearest
// address in X-Forwarded-For that no trusted proxy added. Anyone can send the header, so it counts
// only as far as a trusted proxy vouches for it.
function client_address(array $config): string
{
    $address = (string) ($_SERVER['REMOTE_ADDR'] ?? '');
    $forwarded = explode(',', (string) ($_SERVER['HTTP_X_FORWARDED_FOR'] ?? ''));
    while ($forwarded !== [] && in_networks($address, $config['trusted_proxies'] ?? [])) {
        $next = forwarded_address(array_pop($forwarded));
        if (packed_address($next) === '') {
            break;
        }
        $address = $next;
    }
    return $address;
}

// What the site keeps of one address (an IPv6 address by its /64 network): its failed logins and
// its share of the log this hour. The record stays locked while a request of that address is
// checked, so that a burst of tries checks no more passwords than tries one after another would.
// A record is made only for a request that checks a password: a stranger's other requests leave
// no file behind. The records are few and small: at most failure_records, the oldest going first.
final class AddressRecord
{
    public array $data = ['failures' => 0, 'last' => 0, 'hour' => 0, 'lines' => 0, 'untold' => 0];

    private function __construct(private mixed $handle, private array $config, private string $client)
    {
    }

    // Null when the record cannot be opened, locked or read. Without $create, an address that has
    // no record gets a blank one that is never written.
    public static function open(array $config, string $client, bool $create): ?self
    {
        $dir = $config['data_dir'] . '/failures';
        if ($create && !is_dir($dir)) {
            @mkdir($dir, 0700, true);
        }
        $key = packed_address($client);
        $path = $dir . '/' . (bin2hex(strlen($key) === 16 ? substr($key, 0, 8) : $key) ?: 'none');
        $handle = @fopen($path, 'r+');
        if ($handle === false && !$create && !file_exists($path)) {
            $handle = null;
        } elseif ($handle === false) {
            $handle = @fopen($path, 'c+');
        }
        if ($handle === false || ($handle !== null && !flock($handle, LOCK_EX))) {
            return null;
        }
        $record = new self($handle, $config, $client);
        $text = $handle === null ? '' : @fread($handle, 1024);
        if ($text === false) {
            return null;
        }
        if ($text !== '') {
            $data = json_decode($text, true);
            foreach ($record->data as $field => $_) {
                if (!is_int($data[$field] ?? null)) {
                    return null;
                }
                $record->data[$field] = $data[$field];
            }
        }
        $now = time();
        if ($now - $record->data['last'] > 3600) {
            $record->data['failures'] = 0;
        }
        if ($now - $record->data['hour'] >= 3600) {
            $record->data['hour'] = $now;
            $record->data['lines'] = 0;
        }
        return $record;
    }

    public function save(): bool
    {
        if ($this->handle === null) {
            return true;
        }
        $text = json_encode($this->data);
        $saved = @ftruncate($this->handle, 0) && rewind($this->handle)
            && @fwrite($this->handle, $text) === strlen($text) && fflush($this->handle);
        $this->sweep();
        return $saved;
    }

    // Records of addresses quiet for an hour go, and past failure_records the oldest go too.
    private function sweep(): void
    {
        $times = [];
        foreach (glob($this->config['data_dir'] . '/failures/*') ?: [] as $path) {
            $stat = @lstat($path); // a link's own time: the file it names is no record
            $times[$path] = $stat === false ? 0 : $stat['mtime'];
        }
        asort($times);
        $over = count($times) - $this->config['failure_records'];
        foreach ($times as $path => $time) {
            if ($over-- <= 0 && $time >= time() - 3600) {
                break;
            }
            @unlink($path);
        }
    }

    // Unlocks the record for the address's other requests.
    public function release(): void
    {
        if ($this->handle !== null) {
            fclose($this->handle);
        }
    }

    public function secondsToWait(int $now): int
    {
        $over = $this->data['failures'] - $this->config['free_failures'];
        return $over < 0 ? 0 : max(0, $this->data['last'] + min(900, 30 << min($over, 5)) - $now);
    }

    // A log line on this address's account. Past its share for the hour a line is only counted,
    // and the next line that is written says how many were left out.
    public function note(string $event): void
    {
        if ($this->data['lines'] >= $this->config['log_lines_per_address']) {
            ++$this->data['untold'];
            return;
        }
        ++$this->data['lines'];
        if ($this->data['untold'] > 0) {
            $event .= ' (and ' . $this->data['untold'] . ' requests not logged)';
            $this->data['untold'] = 0;
        }
        log_line($this->config, $this->client, $event);
    }
}

// The hash an unknown login is checked against: the costliest one stored, so that an unknown login
// takes as long as the slowest known one and cannot be told apart by its answer's time.
function costliest_hash(array $users): string
{
    $costliest = PLACEHOLDER_HASH;
    foreach ($users as $hash) {
        if (is_string($hash) && password_get_info($hash)['options'] > password_get_info($costliest)['options']) {
            $costliest = $hash;
        }
    }
    return $costliest;
}

// Oversize bodies, by this site's limit or by PHP's own, which would otherwise look like no form.
function too_big(AddressRecord $record, string $why, ?string $setting = null): never
{
    $record->note('refused an upload ' . $why);
    $record->save();
    answer(413, 'The upload is larger than this site '
        . ($setting === null ? 'accepts.' : "accepts: its PHP setting $setting is " . ini_get($setting) . '.'));
}

// The fail-closed answer: without a record of failures, a password check would be unlimited.
function unavailable(array $config, string $client): never
{
    log_line($config, $client, 'cannot keep count of failed logins (data folder full or unwritable); refused a login');
    answer(503, 'The site cannot check logins at the moment.', ['Retry-After: 300']);
}

$config = require __DIR__ . '/config.php';
require __DIR__ . '/profiles.php';
if (!is_dir($config['data_dir'])) {
    @mkdir($config['data_dir'], 0700, true);
}
if (($_SERVER['REQUEST_METHOD'] ?? '') !== 'POST') {
    answer(405, 'Uploads are POSTed.', ['Allow: POST']);
}
$client = client_address($config);
// Until a password is to be checked, an address without a record gets none.
$known = fn (): AddressRecord => AddressRecord::open($config, $client, false) ?? unavailable($config, $client);

$length = (int) ($_SERVER['CONTENT_LENGTH'] ?? 0);
if ($length > $config['max_bytes']) {
    too_big($known(), "of $length bytes");
}
$postLimit = (int) @ini_parse_quantity((string) ini_get('post_max_size'));
if ($postLimit > 0 && $length > $postLimit) {
    too_big($known(), "of $length bytes, over PHP's post_max_size (raise it to max_bytes)", 'post_max_size');
}
$file = $_FILES['thefile'] ?? null;
$login = form_field($_POST['login'] ?? null);
$password = form_field($_POST['password'] ?? null);
if ($login === null || $password === null || !is_array($file) || !is_string($file['tmp_name'] ?? null)) {
    answer(400, 'Not an upload from Rostrel Uploader.');
}
if ($file['error'] === UPLOAD_ERR_INI_SIZE) {
    too_big($known(), "of $length bytes, over PHP's upload_max_filesize (raise it to max_bytes)", 'upload_max_filesize');
}
if ($file['error'] === UPLOAD_ERR_FORM_SIZE) {
    too_big($known(), "of $length bytes");
}
// A part without a file name arrives as "no file": for the program, that is an empty profile.
$empty = $file['error'] === UPLOAD_ERR_NO_FILE || ($file['error'] === UPLOAD_ERR_OK && $file['size'] === 0);
if (!$empty && ($file['error'] !== UPLOAD_ERR_OK || !is_uploaded_file($file['tmp_name']))) {
    answer(400, 'The profile did not arrive whole.');
}

$record = AddressRecord::open($config, $client, true) ?? unavailable($config, $client);
$now = time();
$wait = $record->secondsToWait($now);
if ($wait > 0) {
    ++$record->data['untold'];
    $record->save();
    answer(429, "Too many failed logins from your address; try again in $wait seconds.", ["Retry-After: $wait"]);
}
$users = json_decode((string) @file_get_contents($config['users_file']), true);
if (!is_array($users)) {
    $record->note('cannot read the users file');
    $record->save();
    answer(500, 'The site cannot read its users file.');
}
// The try counts as failed until the password proves right: a record that cannot be written
// refuses the check instead of allowing unlimited ones.
$before = $record->data;
++$record->data['failures'];
$record->data['last'] = $now;
if (!$record->save()) {
    unavailable($config, $client);
}
$hash = $users[$login] ?? null;
if (!password_verify($password, is_string($hash) ? $hash : costliest_hash($users)) || !is_string($hash)) {
    $record->note('rejected login ' . quoted($login));
    $record->save();
    answer(200, REJECTED);
}
$record->data['failures'] = $before['failures'];
$record->data['last'] = $before['last'];
$record->save();
$record->release(); // storing the profile need not hold up this address's other requests

$header = $_SERVER['HTTP_X_ROSTREL_PROFILE'] ?? null;
$name = profile_name($header);
$as = $name === null ? '' : ' as ' . quoted($name);
if ($header !== null && $name === null) {
    $as = ' (its profile name ' . quoted((string) $header) . ' is not valid: kept by time)';
}
// A player whose game has written no profile yet, or who ticked none, logs in with nothing to store.
if ($empty && $header === null) {
    log_line($config, $client, 'login without a profile of ' . quoted($login));
    answer(200, ACCEPTED);
}
if ($empty) {
    log_line($config, $client, 'refused an empty profile of ' . quoted($login) . $as);
    answer(400, 'The profile is empty.');
}
$refusal = store_profile($config, $login, $file['tmp_name'], (int) $file['size'], $name);
if ($refusal !== null) {
    log_line($config, $client, $refusal[2] . ' of ' . quoted($login) . $as);
    answer($refusal[0], $refusal[1]);
}
log_line($config, $client, 'stored ' . $file['size'] . ' bytes of ' . quoted($login) . $as);
answer(200, ACCEPTED);
