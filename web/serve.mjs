// Serves a folder over HTTP on 127.0.0.1: the page built by scripts/web,
// for trying it and for its tests. Any static web server does as well; this
// one only sets the types a browser insists on (application/wasm, and
// text/javascript for the modules).
//
//   node serve.mjs FOLDER [--port N]     (--port 0: any free port)
// Prints the address once it listens.
import { createReadStream, statSync } from 'node:fs';
import { createServer } from 'node:http';
import { extname, join, normalize, resolve, sep } from 'node:path';
import { pathToFileURL } from 'node:url';

const kTypes = {
    '.html': 'text/html; charset=utf-8',
    '.js': 'text/javascript; charset=utf-8',
    '.mjs': 'text/javascript; charset=utf-8',
    '.css': 'text/css; charset=utf-8',
    '.svg': 'image/svg+xml',
    '.wasm': 'application/wasm',
    '.wav': 'audio/wav',
};

export function serve(folder, port = 8765) {
    const root = resolve(folder);
    const server = createServer((request, response) => {
        let path;
        try {
            path = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
        } catch {
            response.writeHead(400).end();
            return;
        }
        let file = normalize(join(root, path));
        // Nothing outside the folder, whatever the request's dots.
        if (file !== root && !file.startsWith(root + sep)) {
            response.writeHead(403).end();
            return;
        }
        try {
            if (statSync(file).isDirectory()) {
                file = join(file, 'index.html');
            }
            const size = statSync(file).size;
            response.writeHead(200, {
                'Content-Type': kTypes[extname(file)] || 'application/octet-stream',
                'Content-Length': size,
                'Cache-Control': 'no-cache',
            });
            createReadStream(file).pipe(response);
        } catch {
            response.writeHead(404, { 'Content-Type': 'text/plain' }).end('Not found\n');
        }
    });
    return new Promise((resolved, rejected) => {
        server.once('error', rejected);
        server.listen(port, '127.0.0.1', () => resolved(server));
    });
}

if (process.argv[1] && import.meta.url === pathToFileURL(process.argv[1]).href) {
    const [folder, ...options] = process.argv.slice(2);
    const at = options.indexOf('--port');
    const port = at >= 0 ? Number(options[at + 1]) : 8765;
    if (!folder || !Number.isInteger(port) || port < 0 || port > 65535) {
        console.error('usage: node serve.mjs FOLDER [--port N]');
        process.exit(1);
    }
    serve(folder, port).then(
        (server) => console.log(`Sevrane is at http://127.0.0.1:${server.address().port}/ (Ctrl+C stops it)`),
        (error) => {
            console.error(`Cannot serve on port ${port}: ${error.message}`);
            process.exit(1);
        }
    );
}
