"""Hand-written questions about the standard library, each with the corpus entries answering it.

A target is "module.qualname" as in the corpus ("builtins.str.strip", "os.path.join"). Every
target's text was read and answers its question. PLAIN questions use everyday words: some share
rare words with their answer, others are paraphrases that share almost none. TECHNICAL questions
name the format, algorithm or system call the developer has in mind, as people search when they
know the term but not where it lives.
"""

PLAIN = [
    ("compute the greatest common divisor of two integers", ["math.gcd"]),
    ("serialize an object to JSON text", ["json.dumps", "json.JSONEncoder.encode"]),
    ("how do I parse command line options", ["argparse.ArgumentParser"]),
    (
        "make a temporary directory that is deleted automatically",
        ["tempfile.TemporaryDirectory"],
    ),
    ("read a file one line at a time", ["io.IOBase.readline", "io.TextIOBase.readline"]),
    ("get the sha256 digest of some bytes", ["hashlib.sha256"]),
    (
        "build the query part of a URL from a dict of parameters",
        ["urllib.parse.urlencode"],
    ),
    (
        "break a web address into scheme, host, path and query",
        ["urllib.parse.urlparse", "urllib.parse.urlsplit"],
    ),
    ("copy a folder with everything inside it somewhere else", ["shutil.copytree"]),
    ("delete a directory even if it is not empty", ["shutil.rmtree"]),
    (
        "find all files whose names match a wildcard like *.txt",
        ["glob.glob", "glob.iglob", "pathlib.Path.glob", "pathlib.Path.rglob"],
    ),
    (
        "run an external program and capture what it prints",
        [
            "subprocess.check_output",
            "subprocess.run",
            "subprocess.getoutput",
            "subprocess.getstatusoutput",
        ],
    ),
    ("pause the program for half a second", ["time.sleep"]),
    (
        "turn a string like '2024-03-01 12:30' into a datetime",
        ["datetime.datetime.strptime", "datetime.datetime.fromisoformat"],
    ),
    ("count how many times each word appears in a list", ["collections.Counter"]),
    (
        "pick a random element from a list",
        ["random.choice", "random.Random.choice", "secrets.choice"],
    ),
    ("put the items of a list in random order", ["random.shuffle", "random.Random.shuffle"]),
    (
        "generate an unguessable token to put in a password reset link",
        ["secrets.token_urlsafe", "secrets.token_hex"],
    ),
    ("generate a random UUID", ["uuid.uuid4"]),
    (
        "remember the results of an expensive function so repeated calls are instant",
        ["functools.lru_cache", "functools.cache"],
    ),
    ("loop over two lists at the same time, pairing up their elements", ["builtins.zip"]),
    ("get a counter alongside each item while iterating", ["builtins.enumerate"]),
    (
        "concatenate several iterables into a single stream without building a list",
        ["itertools.chain", "itertools.chain.from_iterable"],
    ),
    ("all unordered pairs of items from a list", ["itertools.combinations"]),
    (
        "insert a value into a sorted list and keep it sorted",
        ["bisect.insort", "bisect.insort_left"],
    ),
    ("get the three biggest numbers of a huge list", ["heapq.nlargest"]),
    (
        "run many jobs at once on a pool of worker threads",
        ["concurrent.futures.ThreadPoolExecutor"],
    ),
    ("run several coroutines concurrently and collect all their results", ["asyncio.gather"]),
    (
        "give up on an awaitable if it takes longer than five seconds",
        ["asyncio.wait_for", "asyncio.timeout"],
    ),
    (
        "check whether a file exists",
        ["os.path.exists", "os.path.isfile", "pathlib.Path.exists", "pathlib.Path.is_file"],
    ),
    ("how big is a file on disk", ["os.path.getsize"]),
    ("get the extension of a filename", ["os.path.splitext"]),
    ("read an environment variable, with a fallback if it is unset", ["os.getenv"]),
    (
        "list what is inside a folder",
        ["os.listdir", "os.scandir", "pathlib.Path.iterdir"],
    ),
    ("visit every file under a directory, recursively", ["os.walk", "pathlib.Path.rglob"]),
    ("shrink a bytes object with gzip", ["gzip.compress"]),
    (
        "unpack every file from a zip archive",
        ["zipfile.ZipFile.extractall", "shutil.unpack_archive"],
    ),
    (
        "encode binary data as base64",
        ["base64.b64encode", "base64.standard_b64encode", "base64.encodebytes"],
    ),
    ("make user input safe to embed in an HTML page", ["html.escape"]),
    (
        "find every match of a regular expression in a string",
        ["re.findall", "re.finditer", "re.Pattern.findall", "re.Pattern.finditer"],
    ),
    ("search and replace text using a regex pattern", ["re.sub", "re.Pattern.sub"]),
    (
        "reflow a long paragraph so no line is wider than 70 columns",
        [
            "textwrap.fill",
            "textwrap.wrap",
            "textwrap.TextWrapper.fill",
            "textwrap.TextWrapper.wrap",
        ],
    ),
    ("strip the common indentation from a triple-quoted string", ["textwrap.dedent"]),
    (
        "show what changed between two versions of a text file",
        ["difflib.unified_diff", "difflib.context_diff", "difflib.ndiff", "difflib.Differ.compare"],
    ),
    (
        "suggest the closest known word when the user makes a typo",
        ["difflib.get_close_matches"],
    ),
    ("round a money amount to exactly two decimal places", ["decimal.Decimal.quantize"]),
    ("average of a list of numbers", ["statistics.mean", "statistics.fmean"]),
    (
        "compare two floats with a tolerance",
        ["math.isclose", "unittest.TestCase.assertAlmostEqual"],
    ),
    ("case-insensitive comparison of two strings", ["builtins.str.casefold"]),
    ("remove spaces at the beginning and end of a string", ["builtins.str.strip"]),
    ("glue a list of strings together with a separator", ["builtins.str.join"]),
    ("make a fully independent copy of a nested list", ["copy.deepcopy"]),
    ("save a Python object to a file and load it back later", ["pickle.dump", "pickle.load"]),
    ("write log records to a file on disk", ["logging.FileHandler"]),
    (
        "time how long a small snippet of code takes",
        ["timeit.timeit", "timeit.Timer", "timeit.Timer.timeit", "time.perf_counter"],
    ),
    (
        "get the traceback of the exception being handled as a string",
        ["traceback.format_exc"],
    ),
    ("ignore one kind of exception inside a with block", ["contextlib.suppress"]),
    (
        "generate __init__ and __repr__ automatically for a class that just holds fields",
        ["dataclasses.dataclass"],
    ),
    ("freeze some arguments of a function to get a new callable", ["functools.partial"]),
    ("ask for a password without echoing what is typed", ["getpass.getpass"]),
    (
        "guess the content type of a file from its name",
        ["mimetypes.guess_type", "mimetypes.MimeTypes.guess_type"],
    ),
    ("open a connection to an SQLite database", ["sqlite3.connect"]),
    ("split a command line string into arguments the way a shell does", ["shlex.split"]),
    ("pack integers into a binary record of bytes", ["struct.pack", "struct.Struct.pack"]),
    ("compute a CRC32 checksum", ["zlib.crc32"]),
    ("run my own function when the process receives SIGTERM", ["signal.signal"]),
    (
        "what day of the week is a given date",
        ["datetime.date.weekday", "datetime.date.isoweekday", "calendar.weekday"],
    ),
    ("is 2100 a leap year", ["calendar.isleap"]),
    ("stop the program with a non-zero exit status", ["sys.exit"]),
    ("normalize unicode text to NFC", ["unicodedata.normalize", "unicodedata.UCD.normalize"]),
    (
        "dictionary that creates a value for missing keys on first access",
        ["collections.defaultdict"],
    ),
    (
        "a list-like container with fast appends and pops at both ends",
        ["collections.deque"],
    ),
    (
        "keep two threads from modifying shared data at the same time",
        ["threading.Lock", "threading.RLock"],
    ),
    ("create a directory together with all missing parent directories", ["os.makedirs"]),
    ("move a file to another folder", ["shutil.move"]),
    ("find where an executable lives on the PATH", ["shutil.which"]),
    ("how many processors does this machine have", ["os.cpu_count"]),
    ("how much memory does an object take", ["sys.getsizeof"]),
    (
        "inspect the parameters a function accepts at runtime",
        ["inspect.signature", "inspect.getfullargspec"],
    ),
    ("safely evaluate a string containing a Python literal", ["ast.literal_eval"]),
    (
        "keep a function's name and docstring when writing a decorator",
        ["functools.wraps", "functools.update_wrapper"],
    ),
    ("mark a method that subclasses are required to implement", ["abc.abstractmethod"]),
    (
        "sort a list of records by one of their fields",
        ["operator.itemgetter", "operator.attrgetter", "builtins.sorted"],
    ),
    ("delete a file", ["os.remove", "os.unlink", "pathlib.Path.unlink"]),
    ("compare two secret strings without leaking timing information", ["hmac.compare_digest"]),
    ("straight-line distance between two points", ["math.dist"]),
    ("overlapping pairs of consecutive elements", ["itertools.pairwise"]),
    (
        "check that a piece of code raises an exception in a unit test",
        ["unittest.TestCase.assertRaises", "unittest.TestCase.assertRaisesRegex"],
    ),
]

TECHNICAL = [
    ("HMAC-SHA256 signature of a message with a secret key", ["hmac.new", "hmac.digest"]),
    ("PBKDF2 password hashing", ["hashlib.pbkdf2_hmac"]),
    ("format a datetime as ISO 8601", ["datetime.datetime.isoformat", "datetime.date.isoformat"]),
    (
        "convert a POSIX timestamp to a datetime",
        ["datetime.datetime.fromtimestamp", "datetime.datetime.utcfromtimestamp"],
    ),
    ("Adler-32 of a buffer", ["zlib.adler32"]),
    ("parse a CIDR block like 10.0.0.0/8", ["ipaddress.ip_network", "ipaddress.IPv4Network"]),
    ("fsync a file descriptor", ["os.fsync"]),
    ("schedule a SIGALRM in a few seconds", ["signal.alarm"]),
    ("getaddrinfo for a host and port", ["socket.getaddrinfo"]),
    ("set a socket option such as SO_REUSEADDR", ["socket.SocketType.setsockopt"]),
    ("similarity ratio of two sequences", ["difflib.SequenceMatcher.ratio"]),
    ("method resolution order of a class", ["inspect.getmro"]),
    ("UUID from the SHA-1 hash of a name", ["uuid.uuid5"]),
    ("base32 encode some bytes", ["base64.b32encode"]),
    ("URL-safe base64 decoding", ["base64.urlsafe_b64decode"]),
    ("gamma function of x", ["math.gamma"]),
    ("fork the current process", ["os.fork"]),
    ("create a symlink", ["os.symlink", "pathlib.Path.symlink_to"]),
    ("set the process umask", ["os.umask"]),
    ("expand ~ in a path to the home directory", ["os.path.expanduser"]),
    ("resolve symbolic links to get the canonical path", ["os.path.realpath"]),
    ("get the mtime of a file", ["os.path.getmtime"]),
    ("raise the recursion limit", ["sys.setrecursionlimit"]),
    ("ULP of a float", ["math.ulp"]),
    ("statistical mode of a dataset", ["statistics.mode", "statistics.multimode"]),
    ("open a .tar.gz archive for reading", ["tarfile.open"]),
    ("create a secure temporary file and get its file descriptor", ["tempfile.mkstemp"]),
]

QUESTIONS = [(q, targets, "plain") for q, targets in PLAIN] + [
    (q, targets, "technical") for q, targets in TECHNICAL
]
