// The share page in a real browser (Debian's headless Chromium through puppeteer-core): a
// recipient opens a link, is refused a wrong code and let in by the right one, browses into a
// subfolder, downloads a file whose digest matches what was uploaded, and later sees the link
// expire. Screenshots at phone and desktop widths go to $TVR_SCREENSHOT_DIR when it is set.
//
// TVR_BASE_URL names a reference server started with --dev (run-share-test.sh starts one).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createHash, randomBytes } from 'node:crypto';
import { mkdtemp, readFile, readdir, rm, mkdir } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const base = process.env.TVR_BASE_URL;
const chromium = process.env.TVR_CHROMIUM || '/usr/bin/chromium';
const shots = process.env.TVR_SCREENSHOT_DIR || '';

let browser;
let profileDir;
let auth;

async function api(method, route, body, headers = {}) {
  const init = { method, headers: { ...headers } };
  if (auth) {
    init.headers['X-User-Id'] = String(auth.id);
    init.headers['X-Auth-Token'] = auth.token;
  }
  if (body instanceof FormData) {
    init.body = body;
  } else if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const res = await fetch(base + route, init);
  const json = await res.json();
  assert.ok(json.success, `${method} ${route}: ${res.status} ${json.message}`);
  return json;
}

async function signIn(username, phone) {
  await api('GET', `/api/check-username?username=${encodeURIComponent(username)}`);
  const sms = await api('POST', '/api/send-sms', { phone, scenario: 'register' });
  const login = await api('POST', '/api/login/code', { username, phone, code: sms.debugCode });
  return { id: login.data.id, token: login.data.loginToken };
}

async function upload(name, bytes, parentId) {
  const form = new FormData();
  if (parentId) form.append('parent_id', String(parentId));
  form.append('files', new Blob([bytes]), name);
  return (await api('POST', '/api/files/upload', form)).data[0].id;
}

async function folder(name, parentId) {
  const body = { name };
  if (parentId) body.parent_id = String(parentId);
  return (await api('POST', '/api/folders', body)).data.id;
}

async function shoot(page, name, width, height) {
  if (!shots) return;
  await mkdir(shots, { recursive: true });
  await page.setViewport({ width, height, deviceScaleFactor: 1 });
  await page.screenshot({ path: path.join(shots, name) });
}

// Resolves with the file Chromium finished downloading into `dir`, from its own progress events.
function nextDownload(cdp, dir) {
  return new Promise((resolve, reject) => {
    const onProgress = (event) => {
      if (event.state === 'completed') {
        cdp.off('Browser.downloadProgress', onProgress);
        resolve(path.join(dir, event.guid));
      } else if (event.state === 'canceled') {
        cdp.off('Browser.downloadProgress', onProgress);
        reject(new Error('download canceled'));
      }
    };
    cdp.on('Browser.downloadProgress', onProgress);
  });
}

before(async () => {
  assert.ok(base, 'TVR_BASE_URL must name a running reference server');
  profileDir = await mkdtemp(path.join(tmpdir(), 'tvr-chromium-'));
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--no-first-run', `--user-data-dir=${profileDir}`],
  });
  auth = await signIn('browsershare', '13900000301');
});

after(async () => {
  if (browser) await browser.close();
  if (profileDir) await rm(profileDir, { recursive: true, force: true });
});

test('a recipient enters the code, browses the folder and downloads a file intact', async () => {
  const drawing = randomBytes(300 * 1024);
  const root = await folder('项目交付资料');
  const sub = await folder('设计图纸', root);
  await folder('会议纪要', root);
  await upload('交付说明.txt', Buffer.from('请查收附件。\n'), root);
  await upload('报价单-2026.xlsx', randomBytes(48 * 1024), root);
  await upload('总平面图.dwg', drawing, sub);
  const link = (await api('POST', '/api/shares', { fileId: root, validDays: 7, withCode: true, allowDownload: true })).data;
  assert.match(link.code, /^[a-z0-9]{4}$/);

  const page = await browser.newPage();
  const foreign = [];
  page.on('request', (req) => { if (!req.url().startsWith(base)) foreign.push(req.url()); });
  await page.setViewport({ width: 390, height: 844, deviceScaleFactor: 1 });

  const first = await page.goto(link.url);
  assert.equal(first.status(), 200);
  assert.equal(first.headers()['x-frame-options'], 'DENY');
  assert.match(first.headers()['content-security-policy'], /default-src 'none'/);
  assert.equal(await page.$$eval('script', (s) => s.length), 0);
  await shoot(page, 'share-code-phone.png', 390, 844);

  // A wrong code: refused, with the reason on the page.
  await page.type('#code', link.code === 'aaaa' ? 'bbbb' : 'aaaa');
  const refused = await Promise.all([page.waitForNavigation(), page.click('button[type=submit]')]).then((r) => r[0]);
  assert.equal(refused.status(), 403);
  assert.match(await page.$eval('.error', (e) => e.textContent), /提取码错误/);
  assert.ok(!page.url().includes(link.code));

  // The right one: the folder, and the code never appears in the address.
  await page.$eval('#code', (e) => { e.value = ''; });
  await page.type('#code', link.code);
  await Promise.all([page.waitForNavigation(), page.click('button[type=submit]')]);
  assert.equal(page.url(), link.url);
  const names = await page.$$eval('.entry-name', (els) => els.map((e) => e.textContent));
  assert.deepEqual(names.slice().sort(), ['交付说明.txt', '会议纪要', '报价单-2026.xlsx', '设计图纸'].sort());
  const cookies = await page.cookies();
  assert.ok(cookies.every((c) => c.httpOnly && c.sameSite === 'Strict' && c.value !== link.code));
  await shoot(page, 'share-phone.png', 390, 844);
  await shoot(page, 'share-desktop.png', 1280, 800);

  // Into the subfolder, then the file's own 「下载」.
  await Promise.all([page.waitForNavigation(), page.click(`a.entry[href$="?dir=${sub}"]`)]);
  assert.deepEqual(await page.$$eval('.entry-name', (els) => els.map((e) => e.textContent)), ['总平面图.dwg']);
  assert.match(await page.$eval('.crumbs', (e) => e.textContent), /项目交付资料\s*\/\s*设计图纸/);

  const downloads = await mkdtemp(path.join(tmpdir(), 'tvr-downloads-'));
  try {
    const cdp = await browser.target().createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', { behavior: 'allowAndName', downloadPath: downloads, eventsEnabled: true });
    const done = nextDownload(cdp, downloads);
    await page.click('.row a.btn');
    const file = await done;
    const digest = createHash('sha256').update(await readFile(file)).digest('hex');
    assert.equal(digest, createHash('sha256').update(drawing).digest('hex'));
    assert.equal((await readdir(downloads)).length, 1);
  } finally {
    await rm(downloads, { recursive: true, force: true });
  }
  assert.deepEqual(foreign, []);
  await page.close();
});

test('an expired link shows its page with 410', async () => {
  const file = await upload('临时文件.pdf', randomBytes(1024));
  const link = (await api('POST', '/api/shares', { fileId: file, validDays: 1, withCode: false, allowDownload: true })).data;
  const page = await browser.newPage();
  await page.setViewport({ width: 390, height: 844, deviceScaleFactor: 1 });
  assert.equal((await page.goto(link.url)).status(), 200);
  assert.match(await page.$eval('h1', (e) => e.textContent), /临时文件\.pdf/);
  await shoot(page, 'share-file-phone.png', 390, 844);

  await api('POST', '/api/dev/clock', { advanceSeconds: 24 * 3600 + 1 });
  const expired = await page.goto(link.url);
  assert.equal(expired.status(), 410);
  assert.match(await page.$eval('h1', (e) => e.textContent), /分享已过期/);
  await shoot(page, 'share-expired-phone.png', 390, 844);
  await page.close();
});
